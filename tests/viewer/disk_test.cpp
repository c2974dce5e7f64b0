// The attached recorder disk in the main window: finding it among the
// drives, the playback menu, the speed levels of the playback buttons and
// leaving playback. The disks are images written by zeb-mkdisk.
#include <QGroupBox>
#include <QScrollBar>
#include <cstdlib>

#include "viewer_fixture.h"

namespace {

using namespace velmora::viewer;

class DiskPlayback : public ViewerTest {
 protected:
  void SetUp() override {
    ViewerTest::SetUp();
    // Every drive the viewer may probe is named, so no disk of this machine
    // takes part.
    for (int d = 0; d <= 9; ++d) set_drive(d, home_.file("no-drive-" + std::to_string(d)));
  }
  void TearDown() override {
    ViewerTest::TearDown();
    for (int d = 0; d <= 9; ++d) unsetenv(("VELMORA_DRIVE" + std::to_string(d)).c_str());
  }

  static void set_drive(int d, const std::string& path) {
    setenv(("VELMORA_DRIVE" + std::to_string(d)).c_str(), path.c_str(), 1);
  }

  // Writes a disk image from a description; the manifest is returned.
  std::string make_disk(const std::string& name, const std::string& description) {
    const std::string desc = home_.file(name + ".txt"), image = home_.file(name + ".img"),
                      manifest = home_.file(name + ".manifest");
    EXPECT_TRUE(velmora::testing::write_file(desc, description));
    const std::string cmd =
        velmora::testing::build_dir() + "/bin/zeb-mkdisk '" + desc + "' '" + image + "' > '" + manifest + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    return image;
  }

  static int32_t recordings_on_open_disk() {
    int32_t count = -1, oldest = -1;
    lib::get_rec_list(&count, &oldest);
    return count;
  }

  static constexpr const char* kTwoRuns =
      "run 2026/12/07 09:00:00 2026/12/07 09:00:20\n"
      "run 2026/12/07 10:00:00 2026/12/07 10:00:20\n";
};

TEST_F(DiskPlayback, OnlyADiskWithTheRecorderMarkIsOpened) {
  set_drive(1, make_disk("other", "settings 0x12345678\nrun 2026/12/07 08:00:00 2026/12/07 08:00:10\n"));
  set_drive(3, make_disk("recorder", kTwoRuns));
  MainView& v = start_view();
  click("Command3");
  EXPECT_TRUE(messages_.empty());
  EXPECT_TRUE(v.disk_open());
  EXPECT_EQ(v.playback_mode(), 2);
  // The recorder disk of drive 3 is the open one: its two runs are listed.
  EXPECT_EQ(recordings_on_open_disk(), 2);

  // The menu of attached-disk playback.
  EXPECT_TRUE(find<QPushButton>("Command7")->isEnabled());
  EXPECT_FALSE(find<QPushButton>("Command3")->isEnabled());
  EXPECT_TRUE(find<QPushButton>("Command4")->isHidden());
  EXPECT_TRUE(find<QPushButton>("Command5")->isHidden());
  EXPECT_FALSE(find<QGroupBox>("Frame5")->isHidden());
  EXPECT_FALSE(find<QGroupBox>("Frame1")->isHidden());
  EXPECT_FALSE(find<QScrollBar>("file_pos")->isEnabled());
  EXPECT_FALSE(find<QPushButton>("Command1")->isHidden());
  EXPECT_FALSE(find<QPushButton>("Command6")->isHidden());
  for (int i = 0; i < 8; ++i) EXPECT_TRUE(find<QPushButton>(("Command14_" + std::to_string(i)).c_str())->isEnabled());
}

TEST_F(DiskPlayback, WithoutARecorderDiskTheMenuStays) {
  set_drive(2, make_disk("other", "settings 0x015C0001\nrun 2026/12/07 08:00:00 2026/12/07 08:00:10\n"));
  MainView& v = start_view();
  click("Command3");
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0].text, QStringLiteral("ZEB-5で使用しているHDDが接続されていません"));
  EXPECT_FALSE(v.disk_open());
  EXPECT_EQ(v.playback_mode(), 0);
  EXPECT_TRUE(find<QPushButton>("Command3")->isEnabled());
  EXPECT_FALSE(find<QPushButton>("Command4")->isHidden());
  EXPECT_FALSE(find<QPushButton>("Command7")->isEnabled());
  EXPECT_TRUE(find<QGroupBox>("Frame5")->isHidden());
}

TEST_F(DiskPlayback, LeavingPlaybackRestoresTheMenuAndKeepsTheDiskOpen) {
  set_drive(1, make_disk("recorder", kTwoRuns));
  MainView& v = start_view();
  click("Command3");
  ASSERT_EQ(v.playback_mode(), 2);
  click("Command7");
  EXPECT_EQ(v.playback_mode(), 0);
  EXPECT_TRUE(v.disk_open());
  for (const char* frame : {"Frame1", "Frame5", "Frame11"}) EXPECT_TRUE(find<QGroupBox>(frame)->isHidden()) << frame;
  for (const char* b : {"Command3", "Command4", "Command5"}) {
    EXPECT_FALSE(find<QPushButton>(b)->isHidden()) << b;
    EXPECT_TRUE(find<QPushButton>(b)->isEnabled()) << b;
  }
  EXPECT_TRUE(find<QPushButton>("Command1")->isHidden());
  EXPECT_TRUE(find<QPushButton>("Command6")->isHidden());
  EXPECT_FALSE(find<QPushButton>("Command7")->isEnabled());
  EXPECT_TRUE(text_of("lblTime").isEmpty());
  EXPECT_TRUE(text_of("Label1").isEmpty());
  EXPECT_EQ(find<PictureBox>("Image1_0")->source(), start_picture());
  // The disk opened before is used again without probing.
  set_drive(1, home_.file("gone"));
  click("Command3");
  EXPECT_TRUE(messages_.empty());
  EXPECT_EQ(v.playback_mode(), 2);
}

TEST_F(DiskPlayback, FastForwardAndRewindCountTheirSpeedLevels) {
  set_drive(1, make_disk("recorder", kTwoRuns));
  MainView& v = start_view();
  click("Command3");
  ASSERT_EQ(v.playback_mode(), 2);
  std::vector<QString> shown;
  std::vector<int> levels;
  for (int press = 0; press < 7; ++press) {
    click("Command14_4");
    shown.push_back(text_of("Label1"));
    levels.push_back(v.fast_forward_level());
  }
  EXPECT_EQ(levels, (std::vector<int>{1, 2, 3, 4, 5, 6, 1}));
  const QString ff = QStringLiteral("早送り×");
  EXPECT_EQ(shown, (std::vector<QString>{ff + "2", ff + "4", ff + "8", ff + "16", ff + "32", ff + "64", ff + "2"}));
  // Another button ends fast forward; fast rewind counts its own levels.
  click("Command14_1");
  EXPECT_EQ(v.fast_forward_level(), 0);
  EXPECT_EQ(v.fast_rewind_level(), 1);
  EXPECT_EQ(text_of("Label1"), QStringLiteral("早戻し×2"));
  click("Command14_1");
  EXPECT_EQ(text_of("Label1"), QStringLiteral("早戻し×4"));
  click("Command14_3");
  EXPECT_EQ(v.fast_rewind_level(), 0);
  EXPECT_TRUE(text_of("Label1").isEmpty());
}

}  // namespace
