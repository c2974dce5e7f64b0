// The viewer's other windows without the playback engine: the time search
// window's lists, calendar, time boxes and search; the data copy window's
// folders, span checks and limits; the data search windows' lists; the
// picture save window's opening and refusals. The disks are zeb-mkdisk
// images.
#include <QFile>
#include <QFileDialog>
#include <QFontDatabase>
#include <QImage>
#include <QPalette>
#include <QRawFont>
#include <QRegularExpression>
#include <QTimer>
#include <QTreeWidgetItemIterator>

#include "dates.h"
#include "disk_fixture.h"

namespace {

using namespace velmora::viewer;

constexpr const char* kDisk =
    "run 2026/12/07 09:00:00 2026/12/07 09:00:20\n"
    "run 2026/12/07 10:00:00 2026/12/07 10:00:10 kind 1\n"
    "run 2026/12/07 11:00:00 2026/12/07 11:00:20\n"
    "run 2026/12/09 23:59:50 2026/12/10 00:00:10\n";

std::vector<QString> items(QListWidget* list) {
  std::vector<QString> out;
  for (int i = 0; list && i < list->count(); ++i) out.push_back(list->item(i)->text());
  return out;
}

class Windows : public DiskViewerTest {
 protected:
  void SetUp() override {
    DiskViewerTest::SetUp();
    // Real pictures: the playback that the searches start must decode, or
    // the window rightly says the data are damaged while a test watches its
    // other messages.
    set_drive(1, make_disk("recorder", "clips " + velmora::testing::clips_dir() + "\n" + kDisk));
  }

  // A folder of the test's own for copies and pictures.
  QString folder(const std::string& name) {
    const QString path = QString::fromStdString(home_.file(name));
    QDir().mkpath(path);
    return path;
  }

  void write_sn(const std::string& text) { ASSERT_TRUE(velmora::testing::write_file(home_.file("sn.ini"), text)); }
  std::string sn() const { return velmora::testing::read_file(home_.file("sn.ini")); }

  // A user's click on a folder of a window's folder tree.
  void click_folder(QWidget* window, const QString& path) {
    auto* tree = in<FolderTree>(window, QStringLiteral("Dir1"));
    if (!tree) return;
    tree->set_path(path);
    QTreeWidgetItem* item = tree->currentItem();
    ASSERT_NE(item, nullptr);
    tree->scrollToItem(item);
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualItemRect(item).center());
  }

  RDataCopy* open_copy_window() {
    if (!search_disk_at(2026, 12, 7, 9, 0, 0)) return nullptr;
    click("Command1");
    return windows_->data_copy();
  }

  // The day buttons of a calendar that are shown, by caption.
  std::vector<int> shown_days(QWidget* window, const QString& suffix = QString()) {
    std::vector<int> days;
    for (int i = 0; i < 42; ++i) {
      auto* b = in<QPushButton>(window, QStringLiteral("cmd_day%1_%2").arg(suffix).arg(i));
      if (b && !b->isHidden()) days.push_back(b->text().toInt());
    }
    return days;
  }

  QPushButton* day_button(QWidget* window, int day) {
    for (int i = 0; i < 42; ++i) {
      auto* b = in<QPushButton>(window, QStringLiteral("cmd_day_%1").arg(i));
      if (b && !b->isHidden() && b->text() == QString::number(day)) return b;
    }
    ADD_FAILURE() << "no button for day " << day;
    return nullptr;
  }

  static QColor colour(QPushButton* b) { return b ? b->palette().color(QPalette::Button) : QColor(); }

  // A window is open on the screen beside the main window: off its pictures
  // and controls.
  void expect_beside_main(QWidget* w, const char* what) {
    ASSERT_NE(w, nullptr) << what;
    ASSERT_TRUE(wait_for([&] { return w->isVisible(); })) << what;
    const QRect r = w->frameGeometry();
    EXPECT_TRUE(w->screen()->availableGeometry().contains(r)) << what;
    const auto occupied = view_->occupied_rects();
    EXPECT_GE(occupied.size(), 3u);
    for (const QRect& o : occupied)
      EXPECT_FALSE(r.intersects(o)) << what << " over " << o.x() << "," << o.y() << " " << o.width() << "x"
                                    << o.height();
  }
};

// ---- Time search

TEST_F(Windows, TimeSearchListsRecordingsAndAlarmRecordingsApart) {
  start_with_windows();
  click("Command3");
  TimeSearch* ts = windows_->time_search();
  ASSERT_NE(ts, nullptr);
  EXPECT_TRUE(ts->isVisible());
  EXPECT_TRUE(ts->windowFlags() & Qt::WindowStaysOnTopHint);
  expect_beside_main(ts, "TimeSearch");
  EXPECT_TRUE(in<QPushButton>(ts, "cmdBack")->isHidden());
  EXPECT_EQ(items(in<QListWidget>(ts, "lstRec")),
            (std::vector<QString>{"2026/12/07 09:00:00", "2026/12/07 11:00:00", "2026/12/09 23:59:50"}));
  EXPECT_EQ(items(in<QListWidget>(ts, "lstAlarmRec")), (std::vector<QString>{"2026/12/07 10:00:00"}));
  // Today on the calendar.
  const QDate today = QDate::currentDate();
  EXPECT_EQ(in<QLabel>(ts, "lbl_year")->text(), QString::number(today.year()));
  EXPECT_EQ(in<QComboBox>(ts, "cmb_month")->currentText(), QStringLiteral("%1月").arg(today.month()));
  screenshot(ts, QStringLiteral("TimeSearch"));
}

TEST_F(Windows, ASearchOutsideTheRecordingsNamesTheirRangeAndOffersItsNearerEnd) {
  MainView& v = start_with_windows();
  // After the newest recording, the offer declined: the window stays, the
  // range named.
  answer_yes_ = false;
  TimeSearch* ts = search_disk_at(2026, 12, 11, 12, 0, 0);
  ASSERT_NE(ts, nullptr);
  ASSERT_EQ(questions_.size(), 1u);
  EXPECT_TRUE(questions_[0].startsWith(QStringLiteral("指定した日時のデータは存在しません")))
      << questions_[0].toStdString();
  EXPECT_TRUE(questions_[0].contains(QStringLiteral("2026/12/07 09:00:00 から 2026/12/10 00:00:10")))
      << questions_[0].toStdString();
  EXPECT_TRUE(questions_[0].contains(QStringLiteral("(2026/12/10 00:00:00)"))) << questions_[0].toStdString();
  EXPECT_TRUE(messages_.empty());
  EXPECT_TRUE(ts->isVisible());
  EXPECT_TRUE(find<QGroupBox>("Frame5")->isHidden());
  EXPECT_FALSE(find<QTimer>("Timer1")->isActive());

  // Before the oldest: said so, not a silent jump to the first recording.
  questions_.clear();
  choose_date(ts, 2026, 12, 6);
  type_time(ts, 23, 0, 0);
  click_in(ts, QStringLiteral("cmdStart"));
  ASSERT_EQ(questions_.size(), 1u);
  EXPECT_TRUE(questions_[0].startsWith(QStringLiteral("指定した日時より前の録画データはありません")))
      << questions_[0].toStdString();
  EXPECT_TRUE(questions_[0].contains(QStringLiteral("(2026/12/07 09:00:00)"))) << questions_[0].toStdString();
  EXPECT_TRUE(find<QGroupBox>("Frame5")->isHidden());

  // With data: playback starts without a question and the window goes.
  questions_.clear();
  choose_date(ts, 2026, 12, 7);
  type_time(ts, 9, 0, 10);
  click_in(ts, QStringLiteral("cmdStart"));
  EXPECT_TRUE(messages_.empty());
  EXPECT_TRUE(questions_.empty());
  EXPECT_FALSE(find<QGroupBox>("Frame5")->isHidden());
  EXPECT_TRUE(find<QTimer>("Timer1")->isActive());
  EXPECT_EQ(v.playback_mode(), 2);
  EXPECT_TRUE(wait_for([&] { return windows_->time_search() == nullptr; }));
}

TEST_F(Windows, TheOfferedEndOfTheRecordingsPlays) {
  MainView& v = start_with_windows();
  answer_yes_ = true;
  TimeSearch* ts = search_disk_at(2026, 12, 6, 23, 0, 0);
  ASSERT_NE(ts, nullptr);
  EXPECT_EQ(questions_.size(), 1u);
  EXPECT_TRUE(messages_.empty());
  EXPECT_EQ(v.playback_mode(), 2);
  EXPECT_FALSE(find<QGroupBox>("Frame5")->isHidden());
  EXPECT_TRUE(wait_for([&] { return windows_->time_search() == nullptr; }));
}

TEST_F(Windows, AnEmptyTimeBoxIsAskedFor) {
  start_with_windows();
  click("Command3");
  TimeSearch* ts = windows_->time_search();
  ASSERT_NE(ts, nullptr);
  in<QLineEdit>(ts, "txtM")->clear();
  ts->search();
  EXPECT_EQ(message_texts(), (std::vector<QString>{QStringLiteral("検索する時間を入力してください")}));
  EXPECT_TRUE(ts->isVisible());
}

TEST_F(Windows, TimeBoxesKeepTheirRules) {
  start_with_windows();
  click("Command3");
  TimeSearch* ts = windows_->time_search();
  ASSERT_NE(ts, nullptr);
  auto* h = in<QLineEdit>(ts, "txtH");
  auto* m = in<QLineEdit>(ts, "txtM");
  auto* s = in<QLineEdit>(ts, "txtS");
  activate(ts);

  // A value above the maximum becomes the maximum.
  h->setFocus();
  h->selectAll();
  QTest::keyClicks(h, "24");
  EXPECT_EQ(h->text(), "23");
  m->setFocus();
  m->selectAll();
  QTest::keyClicks(m, "75");
  EXPECT_EQ(m->text(), "59");

  // Only digits are typed; leaving writes two digits, "00" for an empty box.
  h->setFocus();
  h->selectAll();
  QTest::keyClicks(h, "a7-b");
  EXPECT_EQ(h->text(), "7");
  s->setFocus();
  s->selectAll();
  QTest::keyClick(s, Qt::Key_Backspace);
  EXPECT_EQ(s->text(), "");
  h->setFocus();
  EXPECT_EQ(s->text(), "00");
  m->setFocus();
  EXPECT_EQ(h->text(), "07");

  // "." and Enter move on as Tab does.
  h->setFocus();
  QTest::keyClick(h, Qt::Key_Period);
  EXPECT_FALSE(h->hasFocus());
  EXPECT_EQ(h->text(), "07");
  m->setFocus();
  QTest::keyClick(m, Qt::Key_Return);
  EXPECT_FALSE(m->hasFocus());

  // Entering a box selects its text.
  QTest::mouseClick(h, Qt::LeftButton);
  EXPECT_TRUE(wait_for([&] { return h->selectedText() == "07"; }, 30000));

  // The sliders write their values into the boxes (each slider starts at
  // the current time, so it is moved twice).
  const int targets[3] = {5, 42, 59};
  for (int i = 0; i < 3; ++i) {
    auto* slider = in<QScrollBar>(ts, QStringLiteral("HScroll1_%1").arg(i));
    slider->setValue(1);
    slider->setValue(targets[i]);
  }
  EXPECT_EQ(h->text(), "05");
  EXPECT_EQ(m->text(), "42");
  EXPECT_EQ(s->text(), "59");
}

TEST_F(Windows, TheCalendarDrawsEachMonthWithItsLengthAndFirstWeekday) {
  start_with_windows();
  click("Command3");
  TimeSearch* ts = windows_->time_search();
  ASSERT_NE(ts, nullptr);
  auto range = [](int first, int last) {
    std::vector<int> v;
    for (int d = first; d <= last; ++d) v.push_back(d);
    return v;
  };
  choose_date(ts, 2026, 12, 7);
  EXPECT_EQ(shown_days(ts), range(1, 31));
  // 2026-12-01 is a Tuesday: the third button of the first row.
  EXPECT_EQ(in<QPushButton>(ts, "cmd_day_2")->text(), "1");
  EXPECT_TRUE(in<QPushButton>(ts, "cmd_day_1")->isHidden());
  EXPECT_FALSE(in<QPushButton>(ts, "cmd_day_1")->isEnabled());

  choose_date(ts, 2100, 2, 1);
  EXPECT_EQ(shown_days(ts), range(1, 28));
  choose_date(ts, 2000, 2, 1);
  EXPECT_EQ(shown_days(ts), range(1, 29));
  EXPECT_EQ(in<QPushButton>(ts, QStringLiteral("cmd_day_%1").arg(first_weekday(2000, 2)))->text(), "1");

  // The month spinner steps over the year's end both ways.
  choose_date(ts, 2026, 12, 31);
  in<QScrollBar>(ts, "vsc_month")->setValue(13);
  EXPECT_EQ(in<QLabel>(ts, "lbl_year")->text(), "2027");
  EXPECT_EQ(in<QComboBox>(ts, "cmb_month")->currentIndex(), 0);
  in<QScrollBar>(ts, "vsc_month")->setValue(0);
  EXPECT_EQ(in<QLabel>(ts, "lbl_year")->text(), "2026");
  EXPECT_EQ(in<QComboBox>(ts, "cmb_month")->currentIndex(), 11);
  // A day the shorter month lacks becomes its last day.
  in<QComboBox>(ts, "cmb_month")->setCurrentIndex(1);
  EXPECT_EQ(shown_days(ts), range(1, 28));
}

TEST_F(Windows, TheDaysWithRecordingsAreMarkedFromTheStart) {
  start_with_windows();
  click("Command3");
  TimeSearch* ts = windows_->time_search();
  ASSERT_NE(ts, nullptr);
  choose_date(ts, 2026, 12, 8);
  const QColor face = colour(day_button(ts, 20));
  // The days are marked from the window's opening; the button marks them
  // again.
  for (int pressed = 0; pressed < 2; ++pressed) {
    EXPECT_EQ(colour(day_button(ts, 7)), MonthCalendar::kWithRecordings) << pressed;
    EXPECT_EQ(colour(day_button(ts, 8)), MonthCalendar::kSelectedWithout) << pressed;
    EXPECT_EQ(colour(day_button(ts, 11)), face) << pressed;
    if (!pressed) click_in(ts, QStringLiteral("cmdColor"));
  }
  EXPECT_EQ(colour(day_button(ts, 7)), MonthCalendar::kWithRecordings);
  EXPECT_EQ(colour(day_button(ts, 8)), MonthCalendar::kSelectedWithout);
  // A recording that runs over midnight marks both days.
  EXPECT_EQ(colour(day_button(ts, 9)), MonthCalendar::kWithRecordings);
  EXPECT_EQ(colour(day_button(ts, 10)), MonthCalendar::kWithRecordings);
  EXPECT_EQ(colour(day_button(ts, 11)), face);
  QTest::mouseClick(day_button(ts, 7), Qt::LeftButton);
  EXPECT_EQ(colour(day_button(ts, 7)), MonthCalendar::kSelectedWithRecordings);
  EXPECT_EQ(colour(day_button(ts, 8)), face);
  screenshot(ts, QStringLiteral("TimeSearch-marked"));

  // Another month keeps the marks of its own days only.
  choose_date(ts, 2026, 11, 7);
  EXPECT_EQ(colour(day_button(ts, 7)), MonthCalendar::kSelectedWithout);
}

TEST_F(Windows, ThePlayListOfConnectionOneJoinsTheRecordingList) {
  zebsim::Recorder& sim = start_sim();
  char reply[33] = "                                ";
  ASSERT_GE(lib::brin_connect(1, sim.config().address.c_str(), login().c_str(), reply), 0);
  start_with_windows();
  click("Command3");
  TimeSearch* ts = windows_->time_search();
  ASSERT_NE(ts, nullptr);
  EXPECT_EQ(items(in<QListWidget>(ts, "lstRec")),
            (std::vector<QString>{"2026/12/07 09:00:00", "2026/12/07 11:00:00", "2026/12/09 23:59:50",
                                  "2026/12/07 09:00:00", "2026/12/07 10:00:00"}));
  EXPECT_TRUE(QFile::exists(QString::fromStdString(home_.file("img/list0.txt"))));
  lib::brin_unconnect(1, 0, 0, 0);
}

// ---- Recorded data copy

TEST_F(Windows, TheCopyWindowOpensWithTodayAndTheStoredDestination) {
  const QString dest = folder("copies");
  write_sn("[ZEB]\nRDataCopyPath=  " + dest.toStdString() + "  \n");
  start_with_windows();
  RDataCopy* rc = open_copy_window();
  ASSERT_NE(rc, nullptr);
  EXPECT_TRUE(rc->isVisible());
  expect_beside_main(rc, "RDataCopy");
  EXPECT_TRUE(rc->windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_TRUE(in<QPushButton>(rc, "cmdBack")->isHidden());
  EXPECT_EQ(in<QLineEdit>(rc, "txtF")->text(), dest);
  EXPECT_EQ(in<FolderTree>(rc, "Dir1")->path(), dest);
  EXPECT_EQ(in<DriveList>(rc, "Drive1")->drive(), drive_of(dest));
  EXPECT_TRUE(in<QFrame>(rc, "Shape1")->isHidden());
  EXPECT_TRUE(in<QLineEdit>(rc, "Text2")->text().isEmpty());
  EXPECT_EQ(in<QLabel>(rc, "lbl_min")->text(), "0");
  const QDate today = QDate::currentDate();
  for (const char* year : {"lbl_year", "lbl_yearEnd"})
    EXPECT_EQ(in<QLabel>(rc, year)->text(), QString::number(today.year()));
  screenshot(rc, QStringLiteral("RDataCopy"));

  // Leaving playback closes it.
  click("Command7");
  EXPECT_TRUE(wait_for([&] { return windows_->data_copy() == nullptr; }));
}

TEST_F(Windows, FoldersAreMadeInTheChosenFolder) {
  const QString dest = folder("copies");
  write_sn("[ZEB]\nRDataCopyPath=" + dest.toStdString() + "\n");
  start_with_windows();
  RDataCopy* rc = open_copy_window();
  ASSERT_NE(rc, nullptr);
  click_in(rc, QStringLiteral("Command1"));
  EXPECT_EQ(message_texts(), (std::vector<QString>{QStringLiteral("フォルダー名がありません")}));

  messages_.clear();
  in<QLineEdit>(rc, "Text1")->setText(QStringLiteral("事件1"));
  click_in(rc, QStringLiteral("Command1"));
  EXPECT_TRUE(messages_.empty());
  const QString made = dest + QStringLiteral("/事件1");
  EXPECT_TRUE(QFileInfo(made).isDir());
  EXPECT_EQ(in<QLineEdit>(rc, "txtF")->text(), made);
  EXPECT_EQ(in<FolderTree>(rc, "Dir1")->path(), made);
  EXPECT_TRUE(in<QLineEdit>(rc, "Text1")->text().isEmpty());

  // The same name again in the parent folder cannot be made.
  click_folder(rc, dest);
  EXPECT_EQ(in<QLineEdit>(rc, "txtF")->text(), dest);
  in<QLineEdit>(rc, "Text1")->setText(QStringLiteral("事件1"));
  click_in(rc, QStringLiteral("Command1"));
  EXPECT_EQ(message_texts(), (std::vector<QString>{made + QStringLiteral("は作成できません。")}));
}

TEST_F(Windows, TheSpanLengthIsShownInMinutes) {
  start_with_windows();
  RDataCopy* rc = open_copy_window();
  ASSERT_NE(rc, nullptr);
  choose_date(rc, 2026, 12, 7);
  type_time(rc, 9, 0, 0);
  choose_date(rc, 2026, 12, 7, QStringLiteral("End"));
  type_time(rc, 10, 30, 59, QStringLiteral("End"));
  EXPECT_EQ(in<QLabel>(rc, "lbl_min")->text(), "90");
  choose_date(rc, 2026, 12, 8, QStringLiteral("End"));
  type_time(rc, 9, 0, 0, QStringLiteral("End"));
  EXPECT_EQ(in<QLabel>(rc, "lbl_min")->text(), "1440");
  // Over the end of a year, and an end before the start.
  choose_date(rc, 2026, 12, 31);
  type_time(rc, 23, 59, 0);
  choose_date(rc, 2027, 1, 1, QStringLiteral("End"));
  type_time(rc, 0, 1, 0, QStringLiteral("End"));
  EXPECT_EQ(in<QLabel>(rc, "lbl_min")->text(), "2");
  choose_date(rc, 2027, 1, 1);
  type_time(rc, 1, 1, 0);
  EXPECT_EQ(in<QLabel>(rc, "lbl_min")->text(), "-60");
}

TEST_F(Windows, ASpanWithoutRecordingsIsRefused) {
  const QString dest = folder("copies");
  write_sn("[ZEB]\nRDataCopyPath=" + dest.toStdString() + "\n");
  start_with_windows();
  RDataCopy* rc = open_copy_window();
  ASSERT_NE(rc, nullptr);
  choose_date(rc, 2026, 12, 8);
  type_time(rc, 9, 0, 0);
  choose_date(rc, 2026, 12, 8, QStringLiteral("End"));
  type_time(rc, 10, 0, 0, QStringLiteral("End"));
  click_in(rc, QStringLiteral("cmdCopyStart"));
  EXPECT_EQ(message_texts(), (std::vector<QString>{QStringLiteral("指定した日時のデータはHDDに存在しません")}));
  EXPECT_TRUE(QDir(dest).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
  // The destination was remembered all the same.
  EXPECT_NE(sn().find("RDataCopyPath=" + dest.toStdString()), std::string::npos);
  EXPECT_NE(sn().find("r_drive=" + drive_of(dest).toStdString()), std::string::npos);
  EXPECT_FALSE(in<QTimer>(rc, "Timer2")->isActive());
}

TEST_F(Windows, AHundredCopiesFillADestination) {
  const QString dest = folder("copies");
  for (int n = 0; n < 100; ++n) ASSERT_TRUE(QDir(dest).mkdir(QStringLiteral("rec%1").arg(n, 2, 10, QLatin1Char('0'))));
  write_sn("[ZEB]\nRDataCopyPath=" + dest.toStdString() + "\n");
  start_with_windows();
  RDataCopy* rc = open_copy_window();
  ASSERT_NE(rc, nullptr);
  choose_date(rc, 2026, 12, 7);
  type_time(rc, 9, 0, 0);
  choose_date(rc, 2026, 12, 7, QStringLiteral("End"));
  type_time(rc, 9, 0, 10, QStringLiteral("End"));
  click_in(rc, QStringLiteral("cmdCopyStart"));
  EXPECT_EQ(message_texts(),
            (std::vector<QString>{QStringLiteral("録画データが１００個以上になりました。\n"
                                                 "録画データを消去するか保存先を変更してください。")}));
  EXPECT_EQ(QDir(dest).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size(), 100);
  EXPECT_FALSE(in<QTimer>(rc, "Timer2")->isActive());
}

TEST(CopyEnd, EveryEndStateHasItsMessage) {
  EXPECT_EQ(copy_end_message(200), QStringLiteral("データコピーが終了しました"));
  EXPECT_EQ(copy_end_message(101), QStringLiteral("HDDエラーが発生しました"));
  EXPECT_EQ(copy_end_message(102), QStringLiteral("コピーをキャンセルしました"));
  EXPECT_EQ(copy_end_message(103), QStringLiteral("データの書き込みができません。中断します"));
  EXPECT_EQ(copy_end_message(104), copy_end_message(103));
  for (int32_t running : {0, 55, 100}) EXPECT_FALSE(copy_end_message(running)) << running;
  EXPECT_FALSE(copy_end_message(-1));
}

// ---- Data search windows

TEST_F(Windows, TheCopySearchListsAFoldersCopiesAndTheirCopyFolders) {
  const QString dest = folder("saved");
  const std::string d = dest.toStdString();
  QDir(dest).mkpath("rec07");
  QDir(dest).mkpath("rec03");
  QDir(dest).mkpath("rec05");
  ASSERT_TRUE(velmora::testing::write_file(d + "/list.ZEB", "2026/12/07 08:00:00 - 2026/12/07 08:10:00\r\n"));
  // The name as the copy writes it.
  ASSERT_TRUE(velmora::testing::write_file(d + "/rec07/List.ZEB", "2026/12/07 09:00:00 - 2026/12/07 09:00:20"));
  ASSERT_TRUE(velmora::testing::write_file(d + "/rec03/list.ZQ7",
                                           "2026/12/07 10:00:00 - 2026/12/07 10:00:10\n"
                                           "2026/12/07 11:00:00 - 2026/12/07 11:00:10\n\nignored\n"));
  write_sn("[ZEB]\npath=" + d + "\n");
  start_with_windows();
  click("Command4");
  RDataSearch* rs = windows_->disk_data_search();
  ASSERT_NE(rs, nullptr);
  EXPECT_TRUE(rs->isVisible());
  EXPECT_TRUE(in<QPushButton>(rs, "cmdBack")->isHidden());
  EXPECT_EQ(in<QLineEdit>(rs, "txtF")->text(), dest);
  const std::vector<QString> expected{
      "2026/12/07 09:00:00 - 2026/12/07 09:00:20 (07)", "2026/12/07 08:00:00 - 2026/12/07 08:10:00",
      "2026/12/07 10:00:00 - 2026/12/07 10:00:10 (03)", "2026/12/07 11:00:00 - 2026/12/07 11:00:10 (03)"};
  EXPECT_EQ(items(in<QListWidget>(rs, "List1")), expected);
  EXPECT_EQ(in<QListWidget>(rs, "List1")->currentRow(), 0);
  ASSERT_EQ(rs->entries().size(), 4u);
  EXPECT_EQ(rs->entries()[0].folder, dest + "/rec07");
  EXPECT_EQ(rs->entries()[0].model, 0);
  EXPECT_EQ(rs->entries()[1].folder, dest);
  EXPECT_EQ(rs->entries()[2].model, 1);
  EXPECT_EQ(rs->entries()[2].line.start, (std::array<int, 6>{26, 12, 7, 10, 0, 0}));
  screenshot(rs, QStringLiteral("RDataSearch"));

  // A path that names the list file itself lists the same.
  in<QLineEdit>(rs, "txtF")->setText(dest + "/list.ZEB");
  EXPECT_EQ(items(in<QListWidget>(rs, "List1")), expected);
  EXPECT_NE(sn().find("path=" + d + "\n"), std::string::npos);

  // A click on a folder lists that folder's copies.
  click_folder(rs, dest + "/rec07");
  EXPECT_EQ(in<QLineEdit>(rs, "txtF")->text(), dest + "/rec07");
  EXPECT_EQ(items(in<QListWidget>(rs, "List1")), (std::vector<QString>{"2026/12/07 09:00:00 - 2026/12/07 09:00:20"}));
  EXPECT_NE(sn().find("path=" + d + "/rec07\n"), std::string::npos);
}

TEST_F(Windows, ThePictureSearchListsTheSavedPicturesOfAFolder) {
  const QString dest = folder("pictures");
  const std::string d = dest.toStdString();
  QDir(dest).mkpath("more");
  for (const char* name : {"b.mpi", "A.MPI", "notes.txt", "more/c.mpi"})
    ASSERT_TRUE(velmora::testing::write_file(d + "/" + name, "x"));
  write_sn("[ZEB]\nSDataSearchPath=" + d + "\n");
  start_with_windows();
  click("Command5");
  SDataSearch* ss = windows_->saved_picture_search();
  ASSERT_NE(ss, nullptr);
  EXPECT_TRUE(ss->isVisible());
  EXPECT_TRUE(find<QGroupBox>("Frame11")->isHidden());
  EXPECT_EQ(in<QLineEdit>(ss, "txtF")->text(), dest);
  EXPECT_EQ(items(in<QListWidget>(ss, "File1")), (std::vector<QString>{"A.MPI", "b.mpi"}));
  screenshot(ss, QStringLiteral("SDataSearch"));
  click_folder(ss, dest + "/more");
  EXPECT_EQ(in<QLineEdit>(ss, "txtF")->text(), dest + "/more");
  EXPECT_EQ(items(in<QListWidget>(ss, "File1")), (std::vector<QString>{"c.mpi"}));
  // Leaving the menu closes the window.
  click("Command7");
  EXPECT_TRUE(wait_for([&] { return windows_->saved_picture_search() == nullptr; }));
}

TEST_F(Windows, WithoutAStoredFolderTheProgramFolderIsShown) {
  start_with_windows();
  click("Command5");
  SDataSearch* ss = windows_->saved_picture_search();
  ASSERT_NE(ss, nullptr);
  const QString home = QString::fromStdString(home_.path());
  EXPECT_EQ(in<QLineEdit>(ss, "txtF")->text(), home);
  EXPECT_EQ(in<FolderTree>(ss, "Dir1")->path(), home);
}

// ---- Picture save

TEST_F(Windows, ThePictureSaveWindowShowsTheViewsPictureAndRefusesAnEmptyName) {
  const QString dest = folder("stills");
  write_sn("[ZEB]\nPicSavePath=" + dest.toStdString() + "\n");
  MainView& v = start_with_windows();
  ASSERT_NE(search_disk_at(2026, 12, 7, 9, 0, 0), nullptr);
  click("Command14_6");
  // The second cell's picture, shown alone.
  QImage picture(352, 240, QImage::Format_RGB888);
  picture.fill(QColor(200, 40, 40));
  ASSERT_TRUE(picture.save(QString::fromStdString(home_.file("bmp2.bmp")), "BMP"));
  v.load_cell_picture(1, QString::fromStdString(home_.file("bmp2.bmp")));
  click("Command8_1");
  ASSERT_EQ(v.split_mode(), 1);
  ASSERT_TRUE(find<QPushButton>("Command6")->isEnabled());
  click("Command6");
  PicSave* ps = windows_->picture_save();
  ASSERT_NE(ps, nullptr);
  EXPECT_TRUE(ps->isVisible());
  // The work file holds the shown picture, pixel for pixel.
  const QImage work(QString::fromStdString(home_.file("work.dat")), "BMP");
  EXPECT_EQ(work.convertToFormat(QImage::Format_RGB888), picture);
  EXPECT_EQ(in<PictureBox>(ps, "Image1")->image().size(), QSize(352, 240));
  EXPECT_EQ(in<QLineEdit>(ps, "TextF")->text(), dest);
  // The offered name says recorder, camera and time.
  EXPECT_TRUE(in<QLineEdit>(ps, "txtF")->text().contains(QRegularExpression(QStringLiteral("^HDD_CH2_\\d{8}-\\d{6}$"))))
      << in<QLineEdit>(ps, "txtF")->text().toStdString();
  screenshot(ps, QStringLiteral("PicSave"));

  in<QLineEdit>(ps, "txtF")->clear();
  click_in(ps, QStringLiteral("Command1"));
  EXPECT_EQ(message_texts(), (std::vector<QString>{QStringLiteral("静止画保存ファイル名がありません")}));
  EXPECT_TRUE(QDir(dest).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
  messages_.clear();
  click_in(ps, QStringLiteral("Command2"));
  EXPECT_EQ(message_texts(), (std::vector<QString>{QStringLiteral("フォルダー名がありません")}));

  // The copy window goes when the picture save window opens.
  click("Command1");
  ASSERT_NE(windows_->data_copy(), nullptr);
  click("Command6");
  EXPECT_TRUE(wait_for([&] { return windows_->data_copy() == nullptr; }));
  EXPECT_NE(windows_->picture_save(), nullptr);
}

TEST_F(Windows, AStillOfAPlayedCellIsNamedMarkedAndListedWithTheSavedPictures) {
  const QString dest = folder("stills");
  write_sn("[ZEB]\nPicSavePath=" + dest.toStdString() + "\nSDataSearchPath=" + dest.toStdString() + "\n");
  // A disk of the test clip, which the playback engine decodes.
  set_drive(1, make_disk("clips", "cameras 1\nclips " + velmora::testing::clips_dir() +
                                      "\npictures_per_gop 15\nrun 2026/12/07 09:00:00 2026/12/07 09:00:20\n"));
  MainView& v = start_with_windows();
  ASSERT_NE(search_disk_at(2026, 12, 7, 9, 0, 0), nullptr);
  const QString played = QString::fromStdString(home_.file("bmp1.bmp"));
  ASSERT_TRUE(wait_for([&] {
    return find<PictureBox>("Image1_0")->source() == played && parse_shown_time(text_of("lblTime")).has_value();
  }));

  // The four-picture view saves the clicked cell.
  ASSERT_EQ(v.split_mode(), 4);
  EXPECT_TRUE(find<QPushButton>("Command6")->isEnabled());
  QTest::mouseClick(find<PictureBox>("Image1_1"), Qt::LeftButton);
  EXPECT_EQ(v.still_cell(), 1);
  QTest::mouseClick(find<PictureBox>("Image1_0"), Qt::LeftButton);
  EXPECT_EQ(v.still_cell(), 0);
  click("Command6");
  PicSave* ps = windows_->picture_save();
  ASSERT_NE(ps, nullptr);
  const auto [name, comment] = save_offered_still(ps);
  const QRegularExpressionMatch named =
      QRegularExpression(QStringLiteral("^HDD_CH1_20261207-0900(\\d\\d)$")).match(name);
  ASSERT_TRUE(named.hasMatch()) << name.toStdString();
  EXPECT_LE(named.captured(1).toInt(), 20);
  ASSERT_TRUE(comment.has_value());
  EXPECT_EQ(*comment, QStringLiteral("camera 1 (CH1); time 2026-12-07 09:00:") + named.captured(1) +
                          QStringLiteral("; disk playback"));

  // "参照" without a file manager: a folder dialog of the program's own.
  const QByteArray path = qgetenv("PATH");
  qputenv("PATH", "");
  click_in(ps, QStringLiteral("cmdShowF"));
  qputenv("PATH", path);
  auto* dialog = ps->findChild<QFileDialog*>(QStringLiteral("FolderDialog"));
  ASSERT_NE(dialog, nullptr);
  EXPECT_TRUE(wait_for([&] { return dialog->isVisible(); }));
  EXPECT_EQ(dialog->directory().absolutePath(), dest);
  dialog->reject();

  // The still browser lists the saved picture and shows it.
  click("Command7");
  click("Command5");
  SDataSearch* ss = windows_->saved_picture_search();
  ASSERT_NE(ss, nullptr);
  auto* files = in<QListWidget>(ss, QStringLiteral("File1"));
  ASSERT_EQ(items(files), (std::vector<QString>{name + ".jpg"}));
  QTest::mouseClick(files->viewport(), Qt::LeftButton, {}, files->visualItemRect(files->item(0)).center());
  EXPECT_EQ(find<PictureBox>("Image1_0")->source(), dest + "/" + name + ".jpg");
  EXPECT_EQ(v.split_mode(), 0);
}

TEST_F(Windows, EveryOtherWindowOpensBesideTheMainWindow) {
  start_with_windows();
  // The data copy window is the widest: the main window moves over to make
  // room for it.
  ASSERT_NE(search_disk_at(2026, 12, 7, 9, 0, 0), nullptr);
  click("Command14_6");
  click("Command1");
  expect_beside_main(windows_->data_copy(), "RDataCopy");
  click("Command8_0");
  click("Command6");
  expect_beside_main(windows_->picture_save(), "PicSave");
  click("Command7");
  click("Command4");
  expect_beside_main(windows_->disk_data_search(), "RDataSearch");
  click("Command7");
  click("Command5");
  expect_beside_main(windows_->saved_picture_search(), "SDataSearch");
  screenshot(view_.get(), QStringLiteral("mainview-with-SDataSearch"));
}

TEST(Placement, WithoutRoomBesideTheWindowCoversTheLeastOfItsPictures) {
  // A main window that fills the screen: the window goes where it hides the
  // least of the pictures and controls, here the empty corner at the right.
  const QRect screen(0, 0, 1024, 768);
  const std::vector<QRect> occupied = {QRect(0, 0, 700, 768), QRect(880, 0, 144, 300)};
  const QPoint p = place_beside(screen, occupied, QSize(300, 400), screen);
  EXPECT_EQ(QRect(p, QSize(300, 400)), QRect(724, 368, 300, 400));
  // With room at the right it goes there, beside the main window.
  EXPECT_EQ(place_beside(QRect(0, 100, 600, 500), occupied, QSize(300, 400), screen), QPoint(604, 100));
  // None at the right, some at the left.
  EXPECT_EQ(place_beside(QRect(400, 100, 624, 500), occupied, QSize(300, 400), screen), QPoint(96, 100));
}

TEST(Screenshots, AJapaneseFontDrawsTheWindowsTexts) {
  // The test command installs a CJK font; without one the screenshots of the
  // windows show boxes for every Japanese character.
  const QStringList families = QFontDatabase::families(QFontDatabase::Japanese);
  ASSERT_FALSE(families.isEmpty());
  bool drawn = false;
  for (const QString& family : families) drawn = drawn || QRawFont::fromFont(QFont(family)).supportsCharacter(U'録');
  EXPECT_TRUE(drawn);
}

}  // namespace
