// The windows with the playback engine: disk playback started from the time
// search window, stepping, undecodable data, copies of a span made by the
// data copy window and played from the copy search window with the position
// bar, saved pictures shown, and pictures saved as JPEG files. The disks are
// zeb-mkdisk images of the build's test clips.
#include <signal.h>
#include <sys/resource.h>

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QRegularExpression>
#include <QTimer>
#include <algorithm>
#include <functional>
#include <set>

#include "disk_fixture.h"
#include "zebsim/packets.h"

namespace {

using namespace velmora::viewer;

class Playback : public DiskViewerTest {
 protected:
  // A disk of one camera recorded from the 704 x 480 test clip.
  std::string clip_disk(const std::string& name, const std::string& runs) {
    return make_disk(name, "cameras 1\nclips " + velmora::testing::clips_dir() + "\npictures_per_gop 15\n" + runs);
  }

  // The GOP times (RecSeconds) of a disk's manifest.
  std::set<uint32_t> gop_times(const std::string& name) {
    std::set<uint32_t> times;
    static const QRegularExpression gop(QStringLiteral("^  gop \\d+ time \"[^\"]*\" \\((\\d+)\\)"),
                                        QRegularExpression::MultilineOption);
    for (auto it = gop.globalMatch(QString::fromStdString(manifests_[name])); it.hasNext();)
      times.insert(it.next().captured(1).toUInt());
    return times;
  }

  std::optional<uint32_t> shown_time() { return parse_shown_time(text_of("lblTime")); }

  // Waits until the first cell shows a played picture and lblTime a time.
  bool wait_for_played_picture(int timeout_ms = 20000) {
    const QString played = QString::fromStdString(home_.file("bmp1.bmp"));
    return wait_for([&] { return find<PictureBox>("Image1_0")->source() == played && shown_time().has_value(); },
                    timeout_ms);
  }

  QString folder(const std::string& name) {
    const QString path = QString::fromStdString(home_.file(name));
    QDir().mkpath(path);
    return path;
  }

  void write_sn(const std::string& text) { ASSERT_TRUE(velmora::testing::write_file(home_.file("sn.ini"), text)); }

  // A copy of the span on the data copy window, waited for to its end; the
  // messages it gave.
  std::vector<QString> copy_span(RDataCopy* rc, uint32_t start, uint32_t end) {
    const vp::RecTime a = vp::rec_time_from_seconds(start), b = vp::rec_time_from_seconds(end);
    choose_date(rc, 2000 + a.year, a.month, a.day);
    type_time(rc, a.hour, a.minute, a.second);
    choose_date(rc, 2000 + b.year, b.month, b.day, QStringLiteral("End"));
    type_time(rc, b.hour, b.minute, b.second, QStringLiteral("End"));
    messages_.clear();
    click_in(rc, QStringLiteral("cmdCopyStart"));
    auto* timer2 = in<QTimer>(rc, QStringLiteral("Timer2"));
    EXPECT_TRUE(wait_for([&] { return !timer2->isActive(); }, 60000));
    return message_texts();
  }

  RDataCopy* open_copy_window(const QString& dest) {
    write_sn("[ZEB]\nRDataCopyPath=" + dest.toStdString() + "\n");
    if (!search_disk_at(2026, 12, 7, 9, 0, 0)) return nullptr;
    click("Command1");
    // The window stopped playback; the copy takes the disk over once the
    // playback has come to rest.
    EXPECT_TRUE(wait_for([&] { return find<QTimer>("tmrTokei")->isActive() && !view_->following_pictures(); }, 60000));
    return windows_->data_copy();
  }

  // Plays row of the copy search window's list for the copies in dest.
  RDataSearch* play_copy(const QString& dest, int row) {
    click("Command7");
    click("Command4");
    RDataSearch* rs = windows_->disk_data_search();
    if (!rs) return nullptr;
    in<QLineEdit>(rs, QStringLiteral("txtF"))->setText(dest);
    auto* list = in<QListWidget>(rs, QStringLiteral("List1"));
    if (!list || row >= list->count()) {
      ADD_FAILURE() << "no row " << row;
      return rs;
    }
    const QRect r = list->visualItemRect(list->item(row));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, r.center());
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, r.center());
    return rs;
  }

  static constexpr const char* kRuns =
      "run 2026/12/07 09:00:00 2026/12/07 09:00:30\n"
      "run 2026/12/07 10:00:00 2026/12/07 10:00:10 kind 1\n";
};

TEST_F(Playback, ASearchPlaysTheDiskFromTheSearchedTime) {
  set_drive(1, clip_disk("clips", kRuns));
  MainView& v = start_with_windows();
  ASSERT_NE(search_disk_at(2026, 12, 7, 9, 0, 10), nullptr);
  EXPECT_TRUE(messages_.empty());
  EXPECT_EQ(v.playback_mode(), 2);
  ASSERT_TRUE(wait_for_played_picture());
  // A picture of the recording at the searched time, with a time the
  // manifest holds; one camera gives the upper half of its picture.
  const uint32_t t = *shown_time();
  EXPECT_TRUE(gop_times("clips").count(t)) << t;
  EXPECT_GE(t, rec(2026, 12, 7, 9, 0, 10));
  EXPECT_LE(t, rec(2026, 12, 7, 9, 0, 20));
  EXPECT_EQ(find<PictureBox>("Image1_0")->image().size(), QSize(704, 240));
  screenshot(view_.get(), QStringLiteral("mainview-disk-playback"));
}

TEST_F(Playback, ListEntriesPlayFromTheirRecording) {
  set_drive(1, clip_disk("clips", kRuns));
  start_with_windows();
  click("Command3");
  TimeSearch* ts = windows_->time_search();
  ASSERT_NE(ts, nullptr);
  auto* alarms = in<QListWidget>(ts, QStringLiteral("lstAlarmRec"));
  ASSERT_EQ(alarms->count(), 1);
  QTest::mouseClick(alarms->viewport(), Qt::LeftButton, {}, alarms->visualItemRect(alarms->item(0)).center());
  EXPECT_FALSE(alarms->isEnabled());
  ASSERT_TRUE(wait_for_played_picture());
  const uint32_t t = *shown_time();
  EXPECT_GE(t, rec(2026, 12, 7, 10, 0, 0));
  EXPECT_LE(t, rec(2026, 12, 7, 10, 0, 10));
  EXPECT_TRUE(wait_for([&] { return windows_->time_search() == nullptr; }));

  // A recording of the other list, after leaving playback.
  click("Command7");
  click("Command3");
  ts = windows_->time_search();
  ASSERT_NE(ts, nullptr);
  auto* recordings = in<QListWidget>(ts, QStringLiteral("lstRec"));
  ASSERT_EQ(recordings->count(), 1);
  QTest::mouseClick(recordings->viewport(), Qt::LeftButton, {},
                    recordings->visualItemRect(recordings->item(0)).center());
  ASSERT_TRUE(wait_for([&] {
    const auto shown = shown_time();
    return shown && *shown < rec(2026, 12, 7, 9, 30, 0);
  }));
  EXPECT_LE(*shown_time(), rec(2026, 12, 7, 9, 0, 10));
}

TEST_F(Playback, SteppingWhilePausedMovesOneGop) {
  set_drive(1, clip_disk("clips", kRuns));
  MainView& v = start_with_windows();
  ASSERT_NE(search_disk_at(2026, 12, 7, 9, 0, 5), nullptr);
  ASSERT_TRUE(wait_for_played_picture());
  click("Command14_6");
  auto* clock = find<QTimer>("tmrTokei");
  // Paused, once the pictures the channel had queued have been shown.
  // (The channel may hold several seconds of pictures.)
  ASSERT_TRUE(wait_for([&] { return clock->isActive() && !v.following_pictures(); }, 60000));
  // Each press while paused shows the GOP after the picture on screen, the
  // first press too, however far the engine had read ahead: the
  // recording's GOPs are a second apart. A press waits, as a user does,
  // until the last step's picture has been shown and the window is paused
  // again.
  auto paused_press = [&](const char* button) {
    ASSERT_TRUE(wait_for([&] { return clock->isActive() && !v.following_pictures(); }, 60000));
    ASSERT_TRUE(shown_time());
    const uint32_t before = *shown_time();
    click(button);
    ASSERT_TRUE(wait_for([&] { return shown_time() != before && !v.following_pictures(); }, 60000));
  };
  std::vector<uint32_t> times;
  for (int press = 0; press < 3; ++press) {
    ASSERT_TRUE(shown_time());
    times.push_back(*shown_time());
    paused_press("Command14_4");
  }
  times.push_back(*shown_time());
  for (size_t i = 1; i < times.size(); ++i)
    EXPECT_EQ(times[i], times[i - 1] + 1) << i << ": " << ::testing::PrintToString(times);
  EXPECT_TRUE(gop_times("clips").count(times.back()));
  EXPECT_EQ(v.fast_forward_level(), 3);
  EXPECT_TRUE(text_of("Label1").isEmpty());
  // Back, one GOP before the picture on screen.
  paused_press("Command14_1");
  EXPECT_EQ(*shown_time(), times.back() - 1);
}

TEST_F(Playback, AStopHoldsThePictureOnScreenAndPlayGoesOnFromIt) {
  set_drive(1, clip_disk("clips", kRuns));
  MainView& v = start_with_windows();
  ASSERT_NE(search_disk_at(2026, 12, 7, 9, 0, 14), nullptr);
  ASSERT_TRUE(wait_for([&] { return shown_time() && *shown_time() >= rec(2026, 12, 7, 9, 0, 16); }, 60000));
  click("Command14_6");
  // The recorder time of the picture on screen once the stop has returned.
  int32_t count = 0, first = 0, second = 0;
  uint32_t at_stop = 0;
  ASSERT_EQ(lib::make_bmp_one(&count, &first, &second, &at_stop), 0);
  ASSERT_GE(at_stop, rec(2026, 12, 7, 9, 0, 16));
  auto* clock = find<QTimer>("tmrTokei");
  ASSERT_TRUE(wait_for([&] { return clock->isActive() && !v.following_pictures(); }, 60000));
  // The picture stays: the recording has no stills between its GOPs, so the
  // GOP being shown plays to its end, and the next one's time may already
  // be taken as the last pictures of it are decoded (one GOP, one second).
  // The channel held up to ten more GOPs, which are not shown.
  const uint32_t paused = *shown_time();
  EXPECT_GE(paused, at_stop);
  EXPECT_LE(paused, at_stop + 1);

  // Play goes on from the paused picture, not from where the engine had
  // read to: that was past the recording's end (09:00:30), and the next
  // recording starts at 10:00:00.
  std::vector<uint32_t> seen;
  click("Command14_3");
  ASSERT_TRUE(wait_for([&] {
    if (shown_time() && (seen.empty() || seen.back() != *shown_time())) seen.push_back(*shown_time());
    return !seen.empty() && seen.back() > paused;
  }));
  EXPECT_GE(*std::min_element(seen.begin(), seen.end()), paused) << ::testing::PrintToString(seen);
  EXPECT_LT(seen.back(), rec(2026, 12, 7, 9, 0, 31)) << ::testing::PrintToString(seen);
}

TEST_F(Playback, ADirectionChangeStartsFromThePictureOnScreen) {
  set_drive(1, clip_disk("clips", kRuns));
  start_with_windows();
  ASSERT_NE(search_disk_at(2026, 12, 7, 9, 0, 10), nullptr);
  ASSERT_TRUE(wait_for([&] { return shown_time() && *shown_time() >= rec(2026, 12, 7, 9, 0, 14); }, 60000));
  // Backwards: nothing later than the picture on screen when it was pressed.
  auto follow = [&](const std::function<bool(uint32_t)>& until) {
    std::vector<uint32_t> seen;
    EXPECT_TRUE(wait_for(
        [&] {
          const auto t = shown_time();
          if (t && (seen.empty() || seen.back() != *t)) seen.push_back(*t);
          return t && until(*t);
        },
        60000));
    return seen;
  };
  click("Command14_2");
  const uint32_t back_at = *shown_time();
  const std::vector<uint32_t> back = follow([&](uint32_t t) { return t + 3 <= back_at; });
  EXPECT_LE(*std::max_element(back.begin(), back.end()), back_at) << ::testing::PrintToString(back);

  // Forwards again: nothing earlier than the picture on screen.
  click("Command14_3");
  const uint32_t forward_at = *shown_time();
  EXPECT_LE(forward_at, back_at);
  const std::vector<uint32_t> forward = follow([&](uint32_t t) { return t >= forward_at + 3; });
  EXPECT_GE(*std::min_element(forward.begin(), forward.end()), forward_at) << ::testing::PrintToString(forward);
}

TEST_F(Playback, UndecodableDataStopsPlaybackWithItsMessage) {
  // A stream of pictures without the stream headers a decoder starts from.
  std::vector<uint8_t> junk;
  uint32_t noise = 12345;
  for (int picture = 0; picture < 40; ++picture) {
    for (uint8_t b : {0x00, 0x00, 0x01, 0xB6}) junk.push_back(b);
    for (int i = 0; i < 400; ++i) {
      noise = noise * 1103515245u + 12345u;
      junk.push_back(static_cast<uint8_t>((noise >> 16) | 0x80));
    }
  }
  ASSERT_TRUE(zebsim::write_binary_file(home_.file("junk.m4v"), junk));
  set_drive(1, make_disk("junk", "cameras 1\nclip 0 " + home_.file("junk.m4v") +
                                     "\npictures_per_gop 15\nrun 2026/12/07 09:00:00 2026/12/07 09:00:20\n"));
  MainView& v = start_with_windows();
  ASSERT_NE(search_disk_at(2026, 12, 7, 9, 0, 0), nullptr);
  ASSERT_TRUE(wait_for([&] { return !messages_.empty(); }));
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0].text, QStringLiteral("再生データが不正です"));
  EXPECT_TRUE(messages_[0].system_modal);
  EXPECT_EQ(find<PictureBox>("Image1_0")->source(), start_picture());
  EXPECT_EQ(lib::get_dec_sts(), 0);
  EXPECT_EQ(v.playback_mode(), 2);
}

TEST_F(Playback, SpacePausesAndPlaysAndTheArrowKeysStep) {
  set_drive(1, clip_disk("clips", kRuns));
  MainView& v = start_with_windows();
  ASSERT_NE(search_disk_at(2026, 12, 7, 9, 0, 5), nullptr);
  ASSERT_TRUE(wait_for_played_picture());
  v.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&v));
  auto* clock = find<QTimer>("tmrTokei");
  auto paused = [&] { return clock->isActive() && !v.following_pictures(); };

  // Space pauses playback ...
  QTest::keyClick(&v, Qt::Key_Space);
  ASSERT_TRUE(wait_for(paused, 60000));
  // ... the arrows step: a step has ended when its picture is shown, not as
  // soon as the window is paused again, so wait for the shown time to move.
  // (How far a step goes is the stepping test's concern.)
  auto stepped_from = [&](uint32_t t) { return paused() && shown_time() && *shown_time() != t; };
  const uint32_t before = *shown_time();
  QTest::keyClick(&v, Qt::Key_Right);
  ASSERT_TRUE(wait_for([&] { return stepped_from(before); }, 60000));
  const uint32_t back = *shown_time();
  QTest::keyClick(&v, Qt::Key_Left);
  ASSERT_TRUE(wait_for([&] { return stepped_from(back); }, 60000));
  // ... and Space plays on.
  const uint32_t at = *shown_time();
  QTest::keyClick(&v, Qt::Key_Space);
  ASSERT_TRUE(wait_for([&] { return shown_time() && *shown_time() > at + 2; }, 60000));
  EXPECT_EQ(v.playback_mode(), 2);
}

TEST_F(Playback, TheWindowSaysWhatItShowsAndPlaybackOutlivesTheRecorder) {
  set_drive(1, clip_disk("clips", kRuns));
  auto& sim = start_sim();
  write_lansetting(entry(1, "Shop", sim.config().address));
  MainView& v = start_with_windows();
  double_click_entry(1);
  ASSERT_TRUE(v.receiving());
  EXPECT_EQ(text_of("lblStatus"), QStringLiteral("ライブ"));

  ASSERT_NE(search_disk_at(2026, 12, 7, 9, 0, 5), nullptr);
  ASSERT_TRUE(wait_for_played_picture());
  EXPECT_EQ(text_of("lblStatus"), QStringLiteral("HDD再生・再生中"));
  click("Command14_4");
  EXPECT_EQ(text_of("lblStatus"), QStringLiteral("HDD再生・早送り×2"));
  click("Command14_6");
  EXPECT_EQ(text_of("lblStatus"), QStringLiteral("HDD再生・一時停止"));
  auto* clock = find<QTimer>("tmrTokei");
  ASSERT_TRUE(wait_for([&] { return clock->isActive() && !v.following_pictures(); }, 60000));

  // Disconnecting during playback keeps the played pictures, their time and
  // usable playback buttons.
  const QString played = QString::fromStdString(home_.file("bmp1.bmp"));
  const uint32_t at = *shown_time();
  click("Command16");
  EXPECT_FALSE(v.receiving());
  EXPECT_EQ(v.playback_mode(), 2);
  EXPECT_EQ(find<PictureBox>("Image1_0")->source(), played);
  // The played time stays (a pause may still show a picture the channel
  // held back, so it may have moved on, never back to nothing).
  ASSERT_TRUE(shown_time());
  EXPECT_GE(*shown_time(), at);
  for (int i = 0; i < 8; ++i)
    EXPECT_TRUE(find<QPushButton>(QStringLiteral("Command14_%1").arg(i).toLatin1().constData())->isEnabled()) << i;
  click("Command14_3");
  EXPECT_EQ(text_of("lblStatus"), QStringLiteral("HDD再生・再生中"));
  EXPECT_TRUE(wait_for([&] { return shown_time() && *shown_time() > at + 1; }, 60000));
  click("Command7");
  EXPECT_TRUE(text_of("lblStatus").isEmpty());
}

TEST_F(Playback, CopiesGoToNumberedFoldersAndPlayFromTheCopySearch) {
  set_drive(1, clip_disk("clips", kRuns));
  const QString dest = folder("copies");
  start_with_windows();
  RDataCopy* rc = open_copy_window(dest);
  ASSERT_NE(rc, nullptr);
  // The end message names the folder the copy wrote.
  EXPECT_EQ(copy_span(rc, rec(2026, 12, 7, 9, 0, 5), rec(2026, 12, 7, 9, 0, 15)),
            (std::vector<QString>{QStringLiteral("データコピーが終了しました\n") + dest + "/rec00"}));
  const QDir rec00(dest + "/rec00");
  for (const char* file : {"ZEB.dat", ".index", "List.ZEB"})
    EXPECT_TRUE(QFileInfo(rec00.filePath(file)).isFile()) << file;
  EXPECT_EQ(velmora::testing::read_file(rec00.filePath("List.ZEB").toStdString()),
            "2026/12/07 09:00:05 - 2026/12/07 09:00:15");
  EXPECT_EQ(QFileInfo(rec00.filePath(".index")).size(), 11 * 24);
  // The window is ready again.
  EXPECT_TRUE(in<QFrame>(rc, QStringLiteral("Shape1"))->isHidden());
  EXPECT_TRUE(in<QLineEdit>(rc, QStringLiteral("Text2"))->text().isEmpty());
  EXPECT_TRUE(in<QPushButton>(rc, QStringLiteral("cmdCopyStart"))->isEnabled());

  // The second copy goes to the next folder; an end in a gap after the
  // recording ends the copy with the recording.
  EXPECT_EQ(copy_span(rc, rec(2026, 12, 7, 9, 0, 20), rec(2026, 12, 7, 9, 40, 0)),
            (std::vector<QString>{QStringLiteral("データコピーが終了しました\n") + dest + "/rec01"}));
  EXPECT_EQ(velmora::testing::read_file((dest + "/rec01/List.ZEB").toStdString()),
            "2026/12/07 09:00:20 - 2026/12/07 09:00:30");

  // Both copies are listed, and the first plays in the main window.
  RDataSearch* rs = play_copy(dest, 0);
  ASSERT_NE(rs, nullptr);
  EXPECT_EQ(in<QListWidget>(rs, QStringLiteral("List1"))->item(0)->text(),
            QStringLiteral("2026/12/07 09:00:05 - 2026/12/07 09:00:15 (00)"));
  EXPECT_EQ(in<QListWidget>(rs, QStringLiteral("List1"))->item(1)->text(),
            QStringLiteral("2026/12/07 09:00:20 - 2026/12/07 09:00:30 (01)"));
  MainView& v = *view_;
  EXPECT_EQ(v.playback_mode(), 1);
  ASSERT_TRUE(wait_for_played_picture());
  const uint32_t t = *shown_time();
  EXPECT_GE(t, rec(2026, 12, 7, 9, 0, 5));
  EXPECT_LE(t, rec(2026, 12, 7, 9, 0, 15));
  auto* bar = find<QScrollBar>("file_pos");
  EXPECT_TRUE(bar->isEnabled());
  EXPECT_TRUE(wait_for([&] { return bar->maximum() == 10; }));
  const std::string sn = velmora::testing::read_file(home_.file("sn.ini"));
  EXPECT_NE(sn.find("RDataSearchPath=" + dest.toStdString() + "/rec00"), std::string::npos);

  // The position bar moves playback to its time.
  bar->setValue(8);
  EXPECT_TRUE(wait_for([&] {
    const auto shown = shown_time();
    return shown && *shown >= rec(2026, 12, 7, 9, 0, 13);
  }));
  screenshot(view_.get(), QStringLiteral("mainview-copy-playback"));
}

TEST_F(Playback, ACopyKeptAsAVideoFilePlaysAnywhereAndSaysWhatItHolds) {
  set_drive(1, clip_disk("clips", kRuns));
  const QString dest = folder("videos");
  start_with_windows();
  RDataCopy* rc = open_copy_window(dest);
  ASSERT_NE(rc, nullptr);
  auto* format = in<QComboBox>(rc, QStringLiteral("cboFormat"));
  format->setCurrentIndex(static_cast<int>(RDataCopy::CopyFormat::kMatroska));
  const auto messages = copy_span(rc, rec(2026, 12, 7, 9, 0, 5), rec(2026, 12, 7, 9, 0, 15));
  ASSERT_EQ(messages.size(), 1u);
  const QString rec00 = dest + "/rec00";
  const QString file = rec00 + "/ZEB_cam01_2026-12-07T09-00-05.mkv";
  EXPECT_TRUE(messages[0].startsWith(QStringLiteral("データコピーが終了しました\n") + rec00 + "\n\nCamera 1: " + file))
      << messages[0].toStdString();
  EXPECT_TRUE(messages[0].endsWith(QStringLiteral("GOPs read: 11, left out: 0"))) << messages[0].toStdString();
  // ffprobe reads every picture of the eleven seconds, and the recorder's
  // copy is there too.
  const auto probe = velmora::testing::run_command(
      "ffprobe -v error -select_streams v -count_packets -show_entries "
      "stream=nb_read_packets -of csv=p=0 '" +
      file.toStdString() + "'");
  EXPECT_EQ(probe.status, 0) << probe.text;
  EXPECT_GT(std::atoi(probe.text.c_str()), 0) << probe.text;
  EXPECT_TRUE(QFileInfo(rec00 + "/ZEB.dat").isFile());
  EXPECT_TRUE(QFileInfo(file + ".json").isFile());
  EXPECT_TRUE(QDir(rec00).entryList({QStringLiteral("*.part")}).isEmpty());
  EXPECT_TRUE(in<QPushButton>(rc, QStringLiteral("cmdCopyStart"))->isEnabled());
  // The choice is kept for the next time.
  EXPECT_NE(velmora::testing::read_file(home_.file("sn.ini")).find("RDataCopyFormat=1"), std::string::npos);
  screenshot(rc, QStringLiteral("data-copy-video"));
}

TEST_F(Playback, AStopAndAStepInACopyStartFromThePictureOnScreen) {
  set_drive(1, clip_disk("clips", kRuns));
  const QString dest = folder("copies");
  start_with_windows();
  RDataCopy* rc = open_copy_window(dest);
  ASSERT_NE(rc, nullptr);
  ASSERT_EQ(copy_span(rc, rec(2026, 12, 7, 9, 0, 0), rec(2026, 12, 7, 9, 0, 30)),
            (std::vector<QString>{QStringLiteral("データコピーが終了しました\n") + dest + "/rec00"}));
  ASSERT_NE(play_copy(dest, 0), nullptr);
  MainView& v = *view_;
  ASSERT_TRUE(wait_for([&] { return shown_time() && *shown_time() >= rec(2026, 12, 7, 9, 0, 4); }, 60000));
  click("Command14_6");
  int32_t count = 0, first = 0, second = 0;
  uint32_t at_stop = 0;
  ASSERT_EQ(lib::make_bmp_one(&count, &first, &second, &at_stop), 0);
  auto* clock = find<QTimer>("tmrTokei");
  auto paused = [&] { return clock->isActive() && !v.following_pictures(); };
  ASSERT_TRUE(wait_for(paused, 60000));
  // As on the disk: the GOP being shown plays to its end (one second).
  const uint32_t held = *shown_time();
  EXPECT_GE(held, at_stop);
  EXPECT_LE(held, at_stop + 1);

  // A step moves one GOP from the picture on screen, either way.
  click("Command14_4");
  ASSERT_TRUE(wait_for([&] { return paused() && shown_time() != held; }, 60000));
  EXPECT_EQ(*shown_time(), held + 1);
  click("Command14_1");
  ASSERT_TRUE(wait_for([&] { return paused() && shown_time() != held + 1; }, 60000));
  EXPECT_EQ(*shown_time(), held);

  // Play goes on from there, never from earlier.
  std::vector<uint32_t> seen;
  click("Command14_3");
  ASSERT_TRUE(wait_for([&] {
    if (shown_time() && (seen.empty() || seen.back() != *shown_time())) seen.push_back(*shown_time());
    return !seen.empty() && seen.back() >= held + 2;
  }));
  EXPECT_GE(*std::min_element(seen.begin(), seen.end()), held) << ::testing::PrintToString(seen);
}

TEST_F(Playback, APositionBarBeyondSixteenBitsIsLeftAlone) {
  // Two recordings ten hours apart in one copy.
  set_drive(1, clip_disk("apart",
                         "run 2026/12/07 00:00:00 2026/12/07 00:00:10\n"
                         "run 2026/12/07 10:00:00 2026/12/07 10:00:10\n"));
  const QString dest = folder("copies");
  start_with_windows();
  RDataCopy* rc = open_copy_window(dest);
  ASSERT_NE(rc, nullptr);
  ASSERT_EQ(copy_span(rc, rec(2026, 12, 7, 0, 0, 0), rec(2026, 12, 7, 10, 0, 10)),
            (std::vector<QString>{QStringLiteral("データコピーが終了しました\n") + dest + "/rec00"}));
  messages_.clear();
  ASSERT_NE(play_copy(dest, 0), nullptr);
  auto* bar = find<QScrollBar>("file_pos");
  const int maximum = bar->maximum();
  // Playback goes on through the first recording; the bar keeps its range.
  ASSERT_TRUE(wait_for([&] {
    const auto shown = shown_time();
    return shown && *shown >= rec(2026, 12, 7, 0, 0, 3);
  }));
  EXPECT_EQ(bar->maximum(), maximum);
  EXPECT_EQ(bar->value(), 0);
  EXPECT_TRUE(messages_.empty()) << ::testing::PrintToString(message_texts());
}

TEST_F(Playback, EveryWayACopyEndsIsReported) {
  set_drive(1, make_disk("long", "run 2026/12/07 09:00:00 2026/12/07 12:00:00 lost_chunk 0 0\n"));
  const QString dest = folder("copies");
  start_with_windows();
  RDataCopy* rc = open_copy_window(dest);
  ASSERT_NE(rc, nullptr);
  // The first GOP cannot be read.
  EXPECT_EQ(copy_span(rc, rec(2026, 12, 7, 9, 0, 0), rec(2026, 12, 7, 9, 0, 10)),
            (std::vector<QString>{QStringLiteral("HDDエラーが発生しました")}));

  // Stopped at once: the copy of three hours of recording takes far longer
  // than the click that follows.
  choose_date(rc, 2026, 12, 7);
  type_time(rc, 9, 0, 10);
  choose_date(rc, 2026, 12, 7, QStringLiteral("End"));
  type_time(rc, 12, 0, 0, QStringLiteral("End"));
  messages_.clear();
  click_in(rc, QStringLiteral("cmdCopyStart"));
  click_in(rc, QStringLiteral("cmdCopyStop"));
  // The progress shows until the copy reports its end.
  EXPECT_FALSE(in<QFrame>(rc, QStringLiteral("Shape1"))->isHidden());
  EXPECT_EQ(in<QLineEdit>(rc, QStringLiteral("Text2"))->text(), "0");
  EXPECT_TRUE(in<QPushButton>(rc, QStringLiteral("cmdCopyStart"))->isEnabled());
  EXPECT_TRUE(wait_for([&] { return !in<QTimer>(rc, QStringLiteral("Timer2"))->isActive(); }, 60000));
  EXPECT_EQ(message_texts(), (std::vector<QString>{QStringLiteral("コピーをキャンセルしました")}));
  EXPECT_TRUE(in<QFrame>(rc, QStringLiteral("Shape1"))->isHidden());

  // A destination that takes no more than a kilobyte per file.
  struct rlimit old {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto previous = signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = 1024;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const std::vector<QString> full = copy_span(rc, rec(2026, 12, 7, 9, 0, 10), rec(2026, 12, 7, 9, 1, 0));
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, previous);
  EXPECT_EQ(full, (std::vector<QString>{QStringLiteral("データの書き込みができません。中断します")}));
  // Each copy had its own folder.
  for (const char* f : {"rec00", "rec01", "rec02"}) EXPECT_TRUE(QFileInfo(dest + "/" + f).isDir()) << f;
}

TEST_F(Playback, ASavedPictureIsShownInTheMainWindow) {
  // One stored frame: the first picture of the clip, with its stream headers.
  const std::vector<uint8_t> es = zebsim::read_binary_file(velmora::testing::clips_dir() + "/cam0_704x480.m4v");
  const std::vector<zebsim::EsPicture> pictures = zebsim::split_pictures(es);
  ASSERT_FALSE(pictures.empty());
  zebsim::FrameSpec spec;
  spec.time = 1796642096;  // 2026-12-07 11:14:56 UTC
  const std::vector<uint8_t> frame = zebsim::frame_record(spec, es.data() + pictures[0].offset, pictures[0].size);
  const QString dest = folder("pictures");
  ASSERT_TRUE(zebsim::write_binary_file((dest + "/still.mpi").toStdString(), frame));
  write_sn("[ZEB]\nSDataSearchPath=" + dest.toStdString() + "\n");

  start_with_windows();
  click("Command5");
  SDataSearch* ss = windows_->saved_picture_search();
  ASSERT_NE(ss, nullptr);
  auto* files = in<QListWidget>(ss, QStringLiteral("File1"));
  ASSERT_EQ(files->count(), 1);
  QTest::mouseClick(files->viewport(), Qt::LeftButton, {}, files->visualItemRect(files->item(0)).center());
  EXPECT_EQ(in<QLineEdit>(ss, QStringLiteral("txtF"))->text(), dest + "/still.mpi");
  EXPECT_TRUE(wait_for(
      [&] { return find<PictureBox>("Image1_0")->source() == QString::fromStdString(home_.file("bmp1.bmp")); }));
  EXPECT_EQ(find<PictureBox>("Image1_0")->image().size(), QSize(704, 240));
  const std::string sn = velmora::testing::read_file(home_.file("sn.ini"));
  EXPECT_NE(sn.find("SDataSearchPath=" + dest.toStdString()), std::string::npos);
  EXPECT_NE(sn.find("s_drive="), std::string::npos);
}

class PictureSave : public Playback {
 protected:
  // Plays the disk, shows camera 1 alone and presses the still-picture
  // button; the picture save window.
  PicSave* save_window_from_playback(const QString& dest) {
    write_sn("[ZEB]\nPicSavePath=" + dest.toStdString() + "\n");
    set_drive(1, clip_disk("clips", kRuns));
    start_with_windows();
    if (!search_disk_at(2026, 12, 7, 9, 0, 10) || !wait_for_played_picture()) return nullptr;
    click("Command8_0");
    click("Command6");
    return windows_->picture_save();
  }

  // The size of a JPEG file as djpeg decodes it.
  static QSize djpeg_size(const QString& path) {
    const std::optional<QByteArray> out = command_output("djpeg -pnm '" + path.toStdString() + "' 2>/dev/null");
    if (!out) return QSize();
    const QList<QByteArray> head = out->left(64).split('\n');
    if (head.size() < 2) return QSize();
    const QList<QByteArray> wh = head[1].split(' ');
    return wh.size() == 2 ? QSize(wh[0].toInt(), wh[1].toInt()) : QSize();
  }

  void save_as(PicSave* ps, const QString& name) {
    in<QLineEdit>(ps, QStringLiteral("txtF"))->setText(name);
    messages_.clear();
    questions_.clear();
    click_in(ps, QStringLiteral("Command1"));
  }
};

TEST_F(PictureSave, AHalfHeightPlaybackPictureIsSavedAtTwiceItsHeight) {
  const QString dest = folder("stills");
  PicSave* ps = save_window_from_playback(dest);
  ASSERT_NE(ps, nullptr);
  // Opening the window stopped playback.
  EXPECT_TRUE(wait_for([&] { return find<QTimer>("tmrTokei")->isActive(); }));
  EXPECT_EQ(in<PictureBox>(ps, QStringLiteral("Image1"))->image().size(), QSize(704, 240));
  save_as(ps, QStringLiteral("still"));
  EXPECT_EQ(message_texts(), (std::vector<QString>{QStringLiteral("保存しました。")}));
  const QString jpeg = dest + "/still.jpg";
  EXPECT_EQ(djpeg_size(jpeg), QSize(704, 480));
  EXPECT_FALSE(QFile::exists(QString::fromStdString(home_.file("work.dat1"))));
  const std::string sn = velmora::testing::read_file(home_.file("sn.ini"));
  EXPECT_NE(sn.find("p_drive=" + drive_of(dest).toStdString()), std::string::npos);

  // The same name again asks first; "no" leaves the file as it is.
  const std::string first = velmora::testing::read_file(jpeg.toStdString());
  answer_yes_ = false;
  save_as(ps, QStringLiteral("still"));
  EXPECT_EQ(questions_, (std::vector<QString>{jpeg + QStringLiteral("は既に存在します\n上書きしますか")}));
  EXPECT_TRUE(messages_.empty());
  EXPECT_EQ(velmora::testing::read_file(jpeg.toStdString()), first);
  answer_yes_ = true;
  save_as(ps, QStringLiteral("still"));
  EXPECT_EQ(questions_.size(), 1u);
  EXPECT_EQ(message_texts(), (std::vector<QString>{QStringLiteral("保存しました。")}));
  EXPECT_EQ(djpeg_size(jpeg), QSize(704, 480));

  // An empty name is refused before anything is written.
  save_as(ps, QString());
  EXPECT_EQ(message_texts(), (std::vector<QString>{QStringLiteral("静止画保存ファイル名がありません")}));
  EXPECT_TRUE(questions_.empty());
  EXPECT_EQ(QDir(dest).entryList(QDir::Files).size(), 1);
  screenshot(ps, QStringLiteral("PicSave-playback"));
}

TEST_F(PictureSave, APngKeepsEveryPixelAndSaysWhatItShows) {
  const QString dest = folder("stills");
  PicSave* ps = save_window_from_playback(dest);
  ASSERT_NE(ps, nullptr);
  in<QComboBox>(ps, QStringLiteral("cboType"))->setCurrentIndex(1);
  EXPECT_EQ(in<QLabel>(ps, QStringLiteral("Label1"))->text(), QStringLiteral(".png"));
  save_as(ps, QStringLiteral("still"));
  EXPECT_EQ(message_texts(), (std::vector<QString>{QStringLiteral("保存しました。")}));
  const QString png = dest + "/still.png";
  // ffmpeg reads the PNG as the work picture with each line twice.
  const auto ours = command_output("ffmpeg -v error -i '" + png.toStdString() + "' -f rawvideo -pix_fmt rgb24 -");
  const auto theirs = command_output("ffmpeg -v error -i '" + home_.file("work.dat") +
                                     "' -vf scale=iw:ih*2:flags=neighbor -f rawvideo -pix_fmt rgb24 -");
  ASSERT_TRUE(ours && theirs);
  EXPECT_EQ(ours->size(), 704u * 480 * 3);
  EXPECT_TRUE(*ours == *theirs);
  // Its text names the camera and the picture's time, as the main window
  // showed them.
  QImageReader reader(png);
  EXPECT_EQ(reader.text(QStringLiteral("Camera")), QStringLiteral("1 (") + text_of("Label4_0").trimmed() + ")");
  const std::optional<uint32_t> shown = shown_time();
  ASSERT_TRUE(shown.has_value());
  const vp::RecTime t = vp::rec_time_from_seconds(*shown);
  EXPECT_EQ(reader.text(QStringLiteral("Time")), QString::asprintf("%04d-%02d-%02d %02d:%02d:%02d", 2000 + t.year,
                                                                   t.month, t.day, t.hour, t.minute, t.second));
  EXPECT_EQ(reader.text(QStringLiteral("Source")), QStringLiteral("disk playback"));
  EXPECT_NE(velmora::testing::read_file(home_.file("sn.ini")).find("PicSaveType=png"), std::string::npos);
}

TEST_F(PictureSave, OtherSizesAreSavedAsTheyAre) {
  const QString dest = folder("stills");
  PicSave* ps = save_window_from_playback(dest);
  ASSERT_NE(ps, nullptr);
  const std::string work = home_.file("work.dat");
  for (const QSize size : {QSize(704, 480), QSize(352, 240)}) {
    QImage picture(size, QImage::Format_RGB888);
    picture.fill(QColor(30, 90, 160));
    ASSERT_TRUE(picture.save(QString::fromStdString(work), "BMP"));
    const QString name = QStringLiteral("%1x%2").arg(size.width()).arg(size.height());
    save_as(ps, name);
    EXPECT_EQ(message_texts(), (std::vector<QString>{QStringLiteral("保存しました。")})) << name.toStdString();
    EXPECT_EQ(djpeg_size(dest + "/" + name + ".jpg"), size) << name.toStdString();
  }
}

TEST_F(PictureSave, AFailedSaveKeepsTheFileItWasToReplace) {
  const QString dest = folder("stills");
  PicSave* ps = save_window_from_playback(dest);
  ASSERT_NE(ps, nullptr);
  save_as(ps, QStringLiteral("kept"));
  ASSERT_EQ(message_texts(), (std::vector<QString>{QStringLiteral("保存しました。")}));
  const std::string before = velmora::testing::read_file((dest + "/kept.jpg").toStdString());

  // A work picture of 16 bits a pixel, which the converter does not take.
  std::string bmp(54 + 704 * 480 * 2, '\0');
  auto put32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) bmp[at + i] = static_cast<char>(v >> (8 * i));
  };
  bmp[0] = 'B';
  bmp[1] = 'M';
  put32(2, static_cast<uint32_t>(bmp.size()));
  put32(10, 54);
  put32(14, 40);
  put32(18, 704);
  put32(22, 480);
  bmp[26] = 1;
  bmp[28] = 16;
  ASSERT_TRUE(velmora::testing::write_file(home_.file("work.dat"), bmp));
  save_as(ps, QStringLiteral("kept"));
  EXPECT_EQ(questions_.size(), 1u);
  EXPECT_EQ(message_texts(), (std::vector<QString>{QStringLiteral("保存に失敗しました")}));
  EXPECT_EQ(velmora::testing::read_file((dest + "/kept.jpg").toStdString()), before);
  EXPECT_EQ(QDir(dest).entryList(QDir::Files | QDir::Hidden), QStringList{"kept.jpg"});

  // Without a work picture there is nothing to save.
  QFile::remove(QString::fromStdString(home_.file("work.dat")));
  save_as(ps, QStringLiteral("other"));
  EXPECT_EQ(message_texts(), (std::vector<QString>{QStringLiteral("ファイルがありません")}));
  // A folder that does not exist cannot be written.
  ASSERT_TRUE(
      velmora::testing::write_file(home_.file("work.dat"), velmora::testing::read_file(home_.file("bmp1.bmp"))));
  in<QLineEdit>(ps, QStringLiteral("TextF"))->setText(dest + "/missing");
  save_as(ps, QStringLiteral("other"));
  EXPECT_EQ(message_texts(), (std::vector<QString>{QStringLiteral("保存に失敗しました")}));
}

}  // namespace
