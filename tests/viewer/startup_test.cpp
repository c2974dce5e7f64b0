// Program start: the program folder, one viewer per folder, the caption,
// placement on the screen, the initial controls and the recorder list.
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QImage>
#include <QMessageBox>
#include <QScrollBar>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "audio_device.h"
#include "velmora/rectime.h"
#include "viewer_fixture.h"

namespace {

using namespace velmora::viewer;

TEST(ProgramFolder, AFreshFolderGetsItsStartPictureAndHighSet) {
  velmora::testing::TempDir dir;
  const QString folder = QString::fromStdString(dir.file("home/velmora"));
  QString error;
  ASSERT_TRUE(prepare_program_folder(folder, &error)) << error.toStdString();
  const QImage start(QDir(folder).filePath("start.jpg"));
  EXPECT_EQ(start.size(), QSize(704, 480));
  EXPECT_TRUE(QDir(folder).exists("img"));
  EXPECT_EQ(ViewerSettings(dir.file("home/velmora/sn.ini")).read("speed"), "1");
  // A second start keeps what the user has.
  ASSERT_TRUE(velmora::testing::write_file(dir.file("home/velmora/sn.ini"), "[ZEB]\nspeed=0\n"));
  ASSERT_TRUE(prepare_program_folder(folder, &error));
  EXPECT_EQ(velmora::testing::read_file(dir.file("home/velmora/sn.ini")), "[ZEB]\nspeed=0\n");
}

TEST(ProgramFolder, OnlyOneViewerHoldsAFolder) {
  velmora::testing::TempDir dir;
  const QString folder = QString::fromStdString(dir.path());
  auto first = std::make_unique<InstanceLock>();
  ASSERT_TRUE(first->acquire(folder));
  InstanceLock second;
  EXPECT_FALSE(second.acquire(folder));
  velmora::testing::TempDir other;
  InstanceLock elsewhere;
  EXPECT_TRUE(elsewhere.acquire(QString::fromStdString(other.path())));
  first.reset();
  EXPECT_TRUE(second.acquire(folder));
}

// ---- The per-picture files in memory

constexpr long kTmpfsMagic = 0x01021994;

bool on_tmpfs(const QString& path) {
  struct statfs fs {};
  return ::statfs(QFile::encodeName(path).constData(), &fs) == 0 && static_cast<long>(fs.f_type) == kTmpfsMagic;
}

// Where a name of the program folder leads, without following it further:
// empty unless it is a symbolic link.
std::string link_of(const QString& path) {
  char buf[4096];
  const ssize_t n = ::readlink(QFile::encodeName(path).constData(), buf, sizeof buf);
  return n < 0 ? std::string() : std::string(buf, static_cast<size_t>(n));
}

// Sets an environment variable for a test's span (unset when value is null).
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    had_ = std::getenv(name) != nullptr;
    if (value)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  ~ScopedEnv() {
    if (had_)
      setenv(name_, old_.c_str(), 1);
    else
      unsetenv(name_);
  }

 private:
  const char* name_;
  std::string old_;
  bool had_ = false;
};

// A file replaced whole, as the libraries write their pictures: written
// beside its name and renamed over it.
bool replace_file(const std::string& path, const std::string& content) {
  const std::string temporary = path + ".new";
  return velmora::testing::write_file(temporary, content) && std::rename(temporary.c_str(), path.c_str()) == 0;
}

TEST(PictureFolder, ThePictureNamesOfTheProgramFolderLeadIntoAPrivateFolderInMemory) {
  velmora::testing::TempDir home, runtime;
  ASSERT_EQ(::chmod(runtime.path().c_str(), 0700), 0);
  const ScopedEnv xdg("XDG_RUNTIME_DIR", runtime.path().c_str());
  const QString folder = QString::fromStdString(home.path());
  // What an earlier version left: a real "img" folder and a played picture.
  ASSERT_TRUE(QDir(folder).mkpath("img"));
  ASSERT_TRUE(velmora::testing::write_file(home.file("img/serv000.jpg"), "old"));
  ASSERT_TRUE(velmora::testing::write_file(home.file("bmp1.bmp"), "old"));

  const PictureFolder pictures = prepare_picture_folder(folder);
  ASSERT_TRUE(pictures.in_memory) << pictures.message.toStdString();
  EXPECT_TRUE(pictures.path.startsWith(QString::fromStdString(runtime.path()) + "/")) << pictures.path.toStdString();
  struct stat st {};
  ASSERT_EQ(::lstat(QFile::encodeName(pictures.path).constData(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  for (const char* name : kPictureFileNames)
    EXPECT_EQ(link_of(QDir(folder).filePath(name)), QDir(pictures.path).filePath(name).toStdString()) << name;

  // Names relative to the picture folder (the libraries' current folder)
  // are read through the program folder, also when the files are replaced
  // whole, and the links stay links.
  ASSERT_TRUE(replace_file(QDir(pictures.path).filePath("bmp1.bmp").toStdString(), "played"));
  ASSERT_TRUE(replace_file(QDir(pictures.path).filePath("img/serv003.jpg").toStdString(), "live"));
  EXPECT_EQ(velmora::testing::read_file(home.file("bmp1.bmp")), "played");
  EXPECT_EQ(velmora::testing::read_file(home.file("img/serv003.jpg")), "live");
  EXPECT_FALSE(link_of(QDir(folder).filePath("bmp1.bmp")).empty());

  // The next start finds the same folder and leaves the links as they are;
  // a start after the folder went (a reboot) makes both again.
  EXPECT_EQ(prepare_picture_folder(folder).path, pictures.path);
  EXPECT_EQ(velmora::testing::read_file(home.file("bmp1.bmp")), "played");
  remove_picture_folder(pictures);
  EXPECT_FALSE(QFileInfo::exists(pictures.path));
  QString error;
  EXPECT_TRUE(prepare_program_folder(folder, &error)) << error.toStdString();
  EXPECT_EQ(prepare_picture_folder(folder).path, pictures.path);
  EXPECT_TRUE(QFileInfo(QDir(folder).filePath("img")).isDir());
}

TEST(PictureFolder, AFolderOthersCanReachIsNeverUsed) {
  velmora::testing::TempDir home, runtime, elsewhere;
  const QString folder = QString::fromStdString(home.path());

  // A runtime folder that others can write into is passed over for /dev/shm.
  ASSERT_EQ(::chmod(runtime.path().c_str(), 0777), 0);
  {
    const ScopedEnv xdg("XDG_RUNTIME_DIR", runtime.path().c_str());
    const PictureFolder pictures = prepare_picture_folder(folder);
    ASSERT_TRUE(pictures.in_memory) << pictures.message.toStdString();
    EXPECT_TRUE(pictures.path.startsWith("/dev/shm/velmora-")) << pictures.path.toStdString();
    EXPECT_TRUE(on_tmpfs(pictures.path));
    remove_picture_folder(pictures);
  }

  // A link planted where the folder would be is not followed: the folder
  // it points at gets nothing, and a folder of this user's own is used.
  ASSERT_EQ(::chmod(runtime.path().c_str(), 0700), 0);
  ASSERT_EQ(::chmod(elsewhere.path().c_str(), 0700), 0);
  const ScopedEnv xdg("XDG_RUNTIME_DIR", runtime.path().c_str());
  const QString planned = prepare_picture_folder(folder).path;
  ASSERT_TRUE(QDir(planned).removeRecursively());
  ASSERT_EQ(::symlink(elsewhere.path().c_str(), QFile::encodeName(planned).constData()), 0);
  const PictureFolder pictures = prepare_picture_folder(folder);
  ASSERT_TRUE(pictures.in_memory) << pictures.message.toStdString();
  EXPECT_NE(pictures.path, planned);
  EXPECT_TRUE(
      QDir(QString::fromStdString(elsewhere.path())).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
  EXPECT_EQ(link_of(QDir(folder).filePath("img")), QDir(pictures.path).filePath("img").toStdString());
  remove_picture_folder(pictures);
  ::unlink(QFile::encodeName(planned).constData());
}

TEST(Placement, CentresTheWindowAndRefusesTooSmallScreens) {
  const int w = MainView::kFormWidth, h = MainView::kFormHeight;
  // 1024 x 768: a top under 500 twips becomes 0.
  ScreenPlacement p = place_main_window(1024 * 15, 768 * 15, w, h);
  EXPECT_TRUE(p.fits);
  EXPECT_EQ(p.top, 0);
  EXPECT_EQ(p.left, (1024 * 15 - w) / 2);
  EXPECT_EQ(p.stored_top, -100);
  // 1280 x 1024: centred; the other windows open 100 twips higher.
  p = place_main_window(1280 * 15, 1024 * 15, w, h);
  EXPECT_EQ(p.top, (1024 * 15 - h) / 2);
  EXPECT_EQ(p.stored_top, p.top - 100);
  EXPECT_EQ(p.stored_left, (1280 * 15 - w) / 2);
  // A screen higher than 17000 twips: top 150, left 0.
  p = place_main_window(1920 * 15, 1200 * 15, w, h);
  EXPECT_EQ(p.top, 150);
  EXPECT_EQ(p.left, 0);
  EXPECT_EQ(p.stored_top, 0);
  EXPECT_EQ(p.stored_left, 0);
  EXPECT_FALSE(place_main_window(800 * 15, 600 * 15, w, h).fits);
}

using Startup = ViewerTest;

TEST_F(Startup, ShowsTheCaptionInitialControlsAndStartPictures) {
  write_lansetting(
      "[No.01]\nname=Shop\nip=192.168.0.10\n[No.02]\nip=1.2.3.4\n[No.03]\nname=倉庫\n"
      "[No.04]\nname=本社ビル地下二階駐車場入口ゲート北側\n");
  MainView& v = start_view();
  ASSERT_TRUE(started_);
  EXPECT_EQ(v.windowTitle(), QStringLiteral("Velmora(Ver.1.00.19) ZEB-5"));
  for (const char* hidden : {"Frame1", "Frame5", "Frame11"}) EXPECT_TRUE(find<QGroupBox>(hidden)->isHidden()) << hidden;
  EXPECT_TRUE(find<QPushButton>("Command1")->isHidden());
  EXPECT_TRUE(find<QPushButton>("Command6")->isHidden());
  EXPECT_FALSE(find<QPushButton>("Command6")->isEnabled());
  EXPECT_FALSE(find<QPushButton>("Command7")->isEnabled());
  // Nothing to disconnect yet.
  EXPECT_FALSE(find<QPushButton>("Command16")->isEnabled());
  EXPECT_EQ(find<QPushButton>("Command3")->text(), QStringLiteral("HDDデータ再生"));
  EXPECT_EQ(find<QPushButton>("Command15")->text(), QStringLiteral("終了"));
  EXPECT_EQ(v.split_mode(), 4);

  // The four-split layout, in twips at 15 a pixel.
  const char* pictures[] = {"Image1_0", "Image1_1", "Image1_2", "Image1_3"};
  const char* labels[] = {"Label4_0", "Label4_1", "Label4_2", "Label4_3"};
  for (int i = 0; i < 4; ++i) {
    const int row = i / 2, column = i % 2;
    auto* picture = find<PictureBox>(pictures[i]);
    EXPECT_EQ(picture->geometry(), QRect((column * 6400 + 50) / 15, (row * 4700 + 400) / 15, 420, 286));
    EXPECT_EQ(picture->source(), start_picture());
    EXPECT_EQ(picture->image().size(), QSize(704, 480));
    EXPECT_EQ(text_of(labels[i]), QStringLiteral("CH%1").arg(i + 1));
    EXPECT_EQ(find<QLabel>(labels[i])->pos(), QPoint((column * 6400 + 50) / 15, (row * 4700 + 100) / 15));
  }

  auto* list = find<QListWidget>("List1");
  ASSERT_EQ(list->count(), 3);
  EXPECT_EQ(list->item(0)->text(), QStringLiteral(" 1:Shop"));
  EXPECT_EQ(list->item(1)->text(), QStringLiteral(" 3:倉庫"));
  // A name longer than the list is wide is cut in the middle, and whole in
  // its tooltip.
  const QString long_name = QStringLiteral("4:本社ビル地下二階駐車場入口ゲート北側");
  EXPECT_GT(list->fontMetrics().horizontalAdvance(long_name), list->viewport()->width());
  EXPECT_EQ(list->textElideMode(), Qt::ElideMiddle);
  EXPECT_EQ(list->item(2)->toolTip(), long_name);
  EXPECT_TRUE(messages_.empty());
}

TEST_F(Startup, ATooSmallScreenEndsTheStartWithItsMessage) {
  MainView& v = start_view(QSize(800, 600));
  EXPECT_FALSE(started_);
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0].text, QStringLiteral("画面の解像度設定を1024x768以上にしてください。"));
  // The picture folder made before the check goes with the window.
  ASSERT_TRUE(v.pictures_in_memory());
  const QString pictures = v.picture_folder();
  view_->shutdown();
  EXPECT_FALSE(QFileInfo::exists(pictures));
}

TEST_F(Startup, AMissingListShowsNoRecorders) {
  MainView& v = start_view();
  EXPECT_TRUE(started_);
  EXPECT_EQ(find<QListWidget>("List1")->count(), 0);
  EXPECT_FALSE(v.receiving());
}

TEST_F(Startup, ThePlayedAndLivePicturesAreKeptInMemoryWhileTheViewerRuns) {
  MainView& v = start_view();
  ASSERT_TRUE(v.pictures_in_memory());
  EXPECT_TRUE(on_tmpfs(v.picture_folder()));
  // The libraries' relative names land in the picture folder, which the
  // program folder's names reach.
  EXPECT_EQ(QDir::currentPath(), v.picture_folder());
  for (const char* name : kPictureFileNames)
    EXPECT_EQ(link_of(QString::fromStdString(home_.file(name))), QDir(v.picture_folder()).filePath(name).toStdString());
  const QString pictures = v.picture_folder();
  view_->shutdown();
  EXPECT_FALSE(QFileInfo::exists(pictures));
}

TEST_F(Startup, EveryPictureIsAStoredDisplayRateBesideHigh) {
  auto* v = &start_view();
  auto* every = find<QCheckBox>("Check3");
  auto* timer1 = v->findChild<QTimer*>("Timer1");
  auto* picture_timer = v->findChild<QTimer*>("tmrPicture");
  ASSERT_NE(picture_timer, nullptr);
  // Off unless chosen: the fixed ticks as before.
  EXPECT_FALSE(every->isChecked());
  EXPECT_FALSE(v->every_picture());
  EXPECT_FALSE(picture_timer->isActive());
  const int fixed = timer1->interval();
  EXPECT_TRUE(fixed == 50 || fixed == 133);
  QTest::mouseClick(every, Qt::LeftButton, {}, QPoint(5, every->height() / 2));
  EXPECT_TRUE(v->every_picture());
  EXPECT_EQ(Profile::load(home_.file("sn.ini")).get_string("ZEB", "EveryPicture", ""), "1");
  EXPECT_TRUE(picture_timer->isActive());
  EXPECT_EQ(picture_timer->interval(), MainView::kEveryPictureLiveMs);
  EXPECT_EQ(timer1->interval(), MainView::kEveryPicturePlaybackMs);

  // The next start takes the stored choice; switched off, the fixed tick
  // comes back.
  view_->shutdown();
  view_.reset();
  v = &start_view();
  every = find<QCheckBox>("Check3");
  timer1 = v->findChild<QTimer*>("Timer1");
  EXPECT_TRUE(every->isChecked());
  EXPECT_TRUE(v->findChild<QTimer*>("tmrPicture")->isActive());
  EXPECT_EQ(timer1->interval(), MainView::kEveryPicturePlaybackMs);
  QTest::mouseClick(every, Qt::LeftButton, {}, QPoint(5, every->height() / 2));
  EXPECT_FALSE(v->findChild<QTimer*>("tmrPicture")->isActive());
  EXPECT_EQ(timer1->interval(), fixed);
  EXPECT_EQ(Profile::load(home_.file("sn.ini")).get_string("ZEB", "EveryPicture", ""), "0");
}

TEST_F(Startup, TheDisplayRateFollowsTheStoredChoiceAndIsWrittenWhenChanged) {
  ASSERT_TRUE(velmora::testing::write_file(home_.file("sn.ini"), "[ZEB]\nspeed=1\n"));
  MainView& v = start_view();
  auto* check2 = find<QCheckBox>("Check2");
  auto* timer1 = v.findChild<QTimer*>("Timer1");
  ASSERT_NE(timer1, nullptr);
  if (!v.audio_device()) {
    // Without a sound device the high rate is off and cannot be chosen.
    EXPECT_FALSE(check2->isChecked());
    EXPECT_FALSE(check2->isEnabled());
    EXPECT_EQ(timer1->interval(), 133);
    GTEST_SKIP() << "no sound device in this build";
  }
  EXPECT_TRUE(check2->isChecked());
  EXPECT_EQ(timer1->interval(), 50);
  QTest::mouseClick(check2, Qt::LeftButton, {}, QPoint(5, check2->height() / 2));
  EXPECT_FALSE(check2->isChecked());
  EXPECT_EQ(timer1->interval(), 133);
  EXPECT_EQ(Profile::load(home_.file("sn.ini")).get_string("ZEB", "speed", ""), "0");
  QTest::mouseClick(check2, Qt::LeftButton, {}, QPoint(5, check2->height() / 2));
  EXPECT_EQ(Profile::load(home_.file("sn.ini")).get_string("ZEB", "speed", ""), "1");
}

TEST_F(Startup, TheVolumeSliderAndMuteWorkOnTheSoundLayersVolume) {
  if (!audio_device_present()) GTEST_SKIP() << "no sound layer in this build";
  set_audio_volume(0x18001800);  // 6144 on both channels
  MainView& v = start_view();
  ASSERT_TRUE(v.audio_device());
  auto* slider = find<QScrollBar>("HScroll2");
  auto* mute = find<QCheckBox>("Check1");
  EXPECT_EQ(slider->value(), 2);
  EXPECT_TRUE(slider->isEnabled());
  EXPECT_TRUE(mute->isEnabled());
  slider->setValue(10);
  EXPECT_EQ(audio_volume(), (30720u << 16) | 30720u);
  mute->setChecked(true);
  EXPECT_EQ(audio_volume(), 0u);
  EXPECT_FALSE(slider->isEnabled());
  mute->setChecked(false);
  EXPECT_EQ(audio_volume(), (30720u << 16) | 30720u);
  EXPECT_TRUE(slider->isEnabled());
  v.shutdown();
  view_.reset();

  // Full volume shows the top of the slider.
  set_audio_volume(0xFFFFFFFF);
  start_view();
  EXPECT_EQ(find<QScrollBar>("HScroll2")->value(), 20);
}

TEST_F(Startup, TheSingleCameraViewEnlargesOneCellAndComesBack) {
  MainView& v = start_view();
  click("Command8_2");
  EXPECT_EQ(v.split_mode(), 2);
  EXPECT_EQ(find<PictureBox>("Image1_2")->geometry(), QRect(1450 / 15, 1000 / 15, 10000 / 15, 7500 / 15));
  EXPECT_EQ(find<QLabel>("Label4_2")->pos(), QPoint(1450 / 15, 800 / 15));
  for (const char* other : {"Image1_0", "Image1_1", "Image1_3", "Label4_0"})
    EXPECT_TRUE(find<QWidget>(other)->isHidden()) << other;
  EXPECT_TRUE(find<QPushButton>("Command6")->isEnabled());
  click("Command9");
  EXPECT_EQ(v.split_mode(), 4);
  for (const char* cell : {"Image1_0", "Image1_1", "Image1_2", "Image1_3"})
    EXPECT_FALSE(find<QWidget>(cell)->isHidden()) << cell;
  EXPECT_EQ(find<PictureBox>("Image1_2")->geometry(), QRect(50 / 15, 5100 / 15, 420, 286));
  EXPECT_FALSE(find<QPushButton>("Command6")->isEnabled());
}

TEST_F(Startup, QuestionsAnswerInJapaneseAndBoxesKeepTheirCaptionWhole) {
  start_view();
  // The real boxes, read and answered once they are up.
  set_message_handler(nullptr);
  QStringList buttons;
  std::vector<int> widths;
  int caption_width = 0;
  QTimer answer;
  QObject::connect(&answer, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->isVisible()) return;
    for (QAbstractButton* b : box->buttons()) buttons << b->text();
    widths.push_back(box->width());
    caption_width = box->fontMetrics().horizontalAdvance(box->windowTitle());
    (box->button(QMessageBox::No) ? box->button(QMessageBox::No) : box->buttons().first())->click();
  });
  answer.start(20);
  EXPECT_FALSE(ask_yes_no(view_.get(), QStringLiteral("上書きしますか")));
  buttons.sort();
  EXPECT_EQ(buttons, (QStringList{QStringLiteral("いいえ"), QStringLiteral("はい")}));
  show_message(view_.get(), QStringLiteral("保存しました。"));
  ASSERT_EQ(widths.size(), 2u);
  // Room for the caption beside the window system's buttons.
  for (int w : widths) EXPECT_GE(w, caption_width + 150);
}

TEST(ShownTime, EveryFormOfTheClockTextReadsBackAsItsTime) {
  const uint32_t t = vp::rec_seconds(2026, 12, 7, 9, 30, 5);
  EXPECT_EQ(played_time_text(t), QStringLiteral("2026年12月07日\n09時30分05秒"));
  EXPECT_EQ(parse_shown_time(played_time_text(t)), t);
  // Live and played times are written alike.
  EXPECT_EQ(live_time_text(2026, 12, 7, 9, 30, 5), played_time_text(t));
  EXPECT_EQ(live_time_text(2026, 1, 2, 3, 4, 5), QStringLiteral("2026年01月02日\n03時04分05秒"));
  EXPECT_EQ(parse_shown_time(live_time_text(2026, 1, 2, 3, 4, 5)), vp::rec_seconds(2026, 1, 2, 3, 4, 5));
  EXPECT_EQ(parse_shown_time(QStringLiteral("2026/12/07 09:30:05")), t);
  EXPECT_FALSE(parse_shown_time(QString()).has_value());
  EXPECT_FALSE(parse_shown_time(QStringLiteral("2026/13/07 09:30:05")).has_value());
  EXPECT_FALSE(parse_shown_time(QStringLiteral("2026/12/07")).has_value());
}

}  // namespace
