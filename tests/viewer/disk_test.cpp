// The attached recorder disk in the main window: finding it among the
// drives, the playback menu, the speed levels of the playback buttons and
// leaving playback. The disks are images written by zeb-mkdisk.
#include <QFileDialog>

#include "disk_fixture.h"

namespace {

using namespace velmora::viewer;

class DiskPlayback : public DiskViewerTest {
 protected:
  static int32_t recordings_on_open_disk() {
    int32_t count = -1, oldest = -1;
    lib::get_rec_list(&count, &oldest);
    return count;
  }

  static constexpr const char* kTwoRuns =
      "run 2026/12/07 09:00:00 2026/12/07 09:00:20\n"
      "run 2026/12/07 10:00:00 2026/12/07 10:00:20\n";

  // The disk image dialog the window has open, once it shows.
  QFileDialog* image_dialog() {
    auto* d = view_->findChild<QFileDialog*>(QStringLiteral("DiskImageDialog"));
    EXPECT_NE(d, nullptr);
    if (d) {
      EXPECT_TRUE(wait_for([&] { return d->isVisible(); }));
    }
    return d;
  }

  // Answers the open dialog as a user does: the file chosen and "開く", or
  // "キャンセル" for an empty path. Returns once the dialog is gone.
  void answer_image_dialog(const std::string& path) {
    QFileDialog* d = image_dialog();
    if (!d) return;
    if (path.empty()) {
      d->reject();
    } else {
      d->selectFile(QString::fromStdString(path));
      // The dialog's "開く" (its accept slot) with the name typed.
      QMetaObject::invokeMethod(d, "accept");
    }
    EXPECT_TRUE(wait_for([&] { return view_->findChild<QFileDialog*>(QStringLiteral("DiskImageDialog")) == nullptr; }));
  }

  QStringList listed_recordings() {
    QStringList out;
    TimeSearch* ts = windows_->time_search();
    auto* list = ts ? in<QListWidget>(ts, QStringLiteral("lstRec")) : nullptr;
    for (int i = 0; list && i < list->count(); ++i) out << list->item(i)->text();
    return out;
  }
};

TEST_F(DiskPlayback, OnlyADiskWithTheRecorderMarkIsOpened) {
  set_drive(1, make_disk("other", "settings 0x12345678\nrun 2026/12/07 08:00:00 2026/12/07 08:00:10\n"));
  set_drive(3, make_disk("recorder", kTwoRuns));
  MainView& v = start_with_windows();
  click("Command3");
  EXPECT_TRUE(messages_.empty());
  EXPECT_TRUE(v.disk_open());
  EXPECT_EQ(v.playback_mode(), 2);
  // The recorder disk of drive 3 is the open one: its two runs are listed.
  EXPECT_EQ(recordings_on_open_disk(), 2);

  // The menu of attached-disk playback, and the time search window that
  // chooses where playback starts.
  EXPECT_TRUE(find<QPushButton>("Command7")->isEnabled());
  EXPECT_FALSE(find<QPushButton>("Command3")->isEnabled());
  EXPECT_TRUE(find<QPushButton>("Command4")->isHidden());
  EXPECT_TRUE(find<QPushButton>("Command5")->isHidden());
  ASSERT_NE(windows_->time_search(), nullptr);
  EXPECT_TRUE(windows_->time_search()->isVisible());
  EXPECT_TRUE(find<QGroupBox>("Frame5")->isHidden());

  // A search with data puts the window into disk playback.
  choose_date(windows_->time_search(), 2026, 12, 7);
  type_time(windows_->time_search(), 9, 0, 5);
  click_in(windows_->time_search(), QStringLiteral("cmdStart"));
  EXPECT_TRUE(messages_.empty());
  EXPECT_FALSE(find<QGroupBox>("Frame5")->isHidden());
  EXPECT_FALSE(find<QGroupBox>("Frame1")->isHidden());
  EXPECT_FALSE(find<QScrollBar>("file_pos")->isEnabled());
  EXPECT_FALSE(find<QPushButton>("Command1")->isHidden());
  EXPECT_FALSE(find<QPushButton>("Command6")->isHidden());
  for (int i = 0; i < 8; ++i) EXPECT_TRUE(find<QPushButton>(("Command14_" + std::to_string(i)).c_str())->isEnabled());
  EXPECT_EQ(v.playback_mode(), 2);
}

TEST_F(DiskPlayback, WithoutARecorderDiskTheMenuStays) {
  set_drive(2, make_disk("other", "settings 0x015C0001\nrun 2026/12/07 08:00:00 2026/12/07 08:00:10\n"));
  MainView& v = start_with_windows();
  answer_yes_ = false;
  click("Command3");
  EXPECT_TRUE(messages_.empty());
  EXPECT_EQ(questions_, (std::vector<QString>{QStringLiteral(
                            "ZEB-5で使用しているHDDが接続されていません\nディスクイメージを開きますか？")}));
  EXPECT_EQ(v.findChild<QFileDialog*>(), nullptr);
  EXPECT_FALSE(v.disk_open());
  EXPECT_EQ(v.playback_mode(), 0);
  EXPECT_EQ(windows_->time_search(), nullptr);
  EXPECT_TRUE(find<QPushButton>("Command3")->isEnabled());
  EXPECT_FALSE(find<QPushButton>("Command4")->isHidden());
  EXPECT_FALSE(find<QPushButton>("Command7")->isEnabled());
  EXPECT_TRUE(find<QGroupBox>("Frame5")->isHidden());
}

TEST_F(DiskPlayback, WithoutADriveAnImageChosenInTheDialogPlays) {
  const std::string image = make_disk("evidence", kTwoRuns);
  MainView& v = start_with_windows();
  // Cancelled, the dialog changes nothing.
  click("Command3");
  ASSERT_EQ(questions_.size(), 1u);
  answer_image_dialog("");
  EXPECT_FALSE(v.disk_open());
  EXPECT_EQ(windows_->time_search(), nullptr);
  // Chosen, the image opens as a drive's disk does.
  click("Command3");
  answer_image_dialog(image);
  EXPECT_TRUE(messages_.empty());
  EXPECT_TRUE(v.disk_open());
  EXPECT_EQ(v.playback_mode(), 2);
  ASSERT_NE(windows_->time_search(), nullptr);
  EXPECT_TRUE(windows_->time_search()->isVisible());
  const QStringList listed = listed_recordings();
  ASSERT_EQ(listed.size(), 2);
  EXPECT_TRUE(listed[0].contains(QStringLiteral("09:00:00"))) << listed[0].toStdString();
  EXPECT_TRUE(listed[1].contains(QStringLiteral("10:00:00"))) << listed[1].toStdString();
  // The image button gives way during playback.
  EXPECT_TRUE(find<QPushButton>("cmdDiskImage")->isHidden());
  screenshot(&v, QStringLiteral("mainview-disk-image-opened"));

  // It plays from a searched time.
  TimeSearch* ts = windows_->time_search();
  choose_date(ts, 2026, 12, 7);
  type_time(ts, 10, 0, 5);
  click_in(ts, QStringLiteral("cmdStart"));
  EXPECT_TRUE(messages_.empty());
  EXPECT_FALSE(find<QGroupBox>("Frame5")->isHidden());

  // The next dialog starts at the image.
  click("Command7");
  EXPECT_FALSE(find<QPushButton>("cmdDiskImage")->isHidden());
  click("cmdDiskImage");
  QFileDialog* d = image_dialog();
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->selectedFiles(), QStringList{QString::fromStdString(image)});
  answer_image_dialog("");
}

TEST_F(DiskPlayback, AFileThatIsNoRecorderDiskImageChangesNothing) {
  set_drive(1, make_disk("recorder", kTwoRuns));
  const std::string unmarked = make_disk("other", "settings 0x12345678\nrun 2026/12/07 08:00:00 2026/12/07 08:00:10\n");
  const std::string notes = home_.file("notes.img");
  ASSERT_TRUE(velmora::testing::write_file(notes, "not a disk\n"));
  MainView& v = start_with_windows();
  // Before any disk is open: the message, and still nothing open.
  EXPECT_FALSE(find<QPushButton>("cmdDiskImage")->isHidden());
  screenshot(&v, QStringLiteral("mainview-disk-image-button"));
  click("cmdDiskImage");
  answer_image_dialog(notes);
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_TRUE(messages_[0].text.endsWith(QStringLiteral("/notes.img は録画装置のディスクイメージではありません")))
      << messages_[0].text.toStdString();
  EXPECT_FALSE(v.disk_open());
  EXPECT_EQ(v.playback_mode(), 0);
  EXPECT_EQ(windows_->time_search(), nullptr);

  // With drive 1's disk open, neither a small file nor a disk without the
  // recorder's mark takes its place.
  ASSERT_NE(search_disk_at(2026, 12, 7, 9, 0, 5), nullptr);
  click("Command7");
  for (const std::string& chosen : {notes, unmarked}) {
    messages_.clear();
    click("cmdDiskImage");
    answer_image_dialog(chosen);
    EXPECT_EQ(messages_.size(), 1u) << chosen;
    EXPECT_TRUE(v.disk_open()) << chosen;
    EXPECT_EQ(v.playback_mode(), 0) << chosen;
    EXPECT_EQ(windows_->time_search(), nullptr) << chosen;
    // A disk is still open, and it is drive 1's: its two recordings, not
    // the one of the other image.
    uint32_t settings[128] = {};
    EXPECT_EQ(lib::hdd_read_hdsw(settings), 0) << chosen;
    messages_.clear();
    click("Command3");
    EXPECT_TRUE(messages_.empty());
    EXPECT_EQ(listed_recordings().size(), 2) << chosen;
    click("Command7");
  }
  EXPECT_TRUE(questions_.empty());
}

TEST_F(DiskPlayback, LeavingPlaybackRestoresTheMenuAndKeepsTheDiskOpen) {
  set_drive(1, make_disk("recorder", kTwoRuns));
  MainView& v = start_with_windows();
  ASSERT_NE(search_disk_at(2026, 12, 7, 9, 0, 0), nullptr);
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
  EXPECT_NE(windows_->time_search(), nullptr);
  // Leaving playback closes the time search window as well.
  click("Command7");
  EXPECT_TRUE(wait_for([&] { return windows_->time_search() == nullptr; }));
}

TEST_F(DiskPlayback, FastForwardAndRewindCountTheirSpeedLevels) {
  set_drive(1, make_disk("recorder", kTwoRuns));
  MainView& v = start_with_windows();
  ASSERT_NE(search_disk_at(2026, 12, 7, 9, 0, 0), nullptr);
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
