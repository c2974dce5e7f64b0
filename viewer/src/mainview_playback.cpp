// Playback in the main window: the menu that enters and leaves it, opening
// the attached recorder disk, the eight playback buttons with their speed
// levels, jumps between recordings, the position bar, and the refresh timer
// that shows the decoded pictures.
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <cstdio>

#include "libraries.h"
#include "live_picture.h"
#include "mainview.h"
#include "ui_support.h"

namespace velmora::viewer {
namespace {

constexpr const char* kSpeedTexts[7] = {"1", "2", "4", "8", "16", "32", "64"};
constexpr uint32_t kRecorderDiskMark = 0x015C0000;
constexpr int kRecordListRing = 1000;
// The sn.ini key of the last disk image opened, where the dialog starts.
constexpr const char* kDiskImageKey = "DiskImage";

QString disk_missing_text(int model) {
  switch (model) {
    case 1: return MainView::tr("ZQ-700で使用しているHDDが接続されていません");
    case 2: return MainView::tr("KV-W9で使用しているHDDが接続されていません");
    default: return MainView::tr("ZEB-5で使用しているHDDが接続されていません");
  }
}

// The start of the oldest recording on the disk's list that `fits` takes
// (start and end in seconds), if any.
template <typename Fits>
std::optional<uint32_t> first_recording_start(Fits fits) {
  int32_t count = 0, oldest = 0;
  if (lib::get_rec_list(&count, &oldest) != 0 || count <= 0) return std::nullopt;
  for (int32_t k = 0; k < count && k < kRecordListRing; ++k) {
    uint32_t start = 0, end = 0;
    int32_t kind = 0;
    const int32_t index = static_cast<int32_t>((static_cast<int64_t>(oldest) + k) % kRecordListRing);
    if (lib::get_list_start_end_sec(index, &start, &end, &kind) != 0) continue;
    if (fits(start, end)) return start;
  }
  return std::nullopt;
}

}  // namespace

void MainView::enter_menu_source(QPushButton* pressed) {
  back_button_->setEnabled(true);
  pressed->setEnabled(false);
  for (QPushButton* b : {disk_playback_button_, saved_video_button_, saved_stills_button_})
    if (b != pressed) b->hide();
  // Live pictures give way to what the menu opened.
  if (receiving_) show_start_pictures();
  update_status();
}

void MainView::open_recorder_disk() {
  if (!disk_open_) {
    bool found = false;
    for (int d = 1; d <= 9 && !found; ++d) {
      const int32_t size = lib::hdd_get(d);
      if (size <= 3000) continue;
      if (lib::hdd_open(d) != 0) continue;
      disk_open_ = true;
      disk_size_ = size;
      disk_drive_ = d;
      disk_image_.clear();
      uint32_t sw[128] = {};
      if (lib::hdd_read_hdsw(sw) == 0 && sw[0] == kRecorderDiskMark) {
        found = true;
      } else {
        lib::hdd_close();
        disk_open_ = false;
      }
    }
    if (!found) {
      disk_open_ = false;
      // An image of a recorder disk may stand in for the missing drive.
      if (ask_yes_no(this, disk_missing_text(model_) + QLatin1Char('\n') + tr("ディスクイメージを開きますか？")))
        choose_disk_image();
      return;
    }
  }
  lib::first_section_play();
  lib::hdd_read_start();
  enter_menu_source(disk_playback_button_);
  // The time search window chooses where playback starts and starts it.
  if (hooks_.open_time_search) hooks_.open_time_search();
  playback_mode_ = kDiskPlayback;
}

void MainView::choose_disk_image() {
  const ViewerSettings sn(QDir(program_folder_).filePath(QString::fromLatin1(kViewerSettingFile)).toStdString());
  const QString last = QString::fromStdString(sn.read(kDiskImageKey).value_or(""));
  QString folder = QFileInfo(last).absolutePath();
  if (last.isEmpty() || !QFileInfo(folder).isDir()) folder = QDir::homePath();
  auto* dialog = new QFileDialog(this, tr("HDDイメージを開く"), folder);
  dialog->setObjectName(QStringLiteral("DiskImageDialog"));
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setOption(QFileDialog::DontUseNativeDialog, true);
  dialog->setFileMode(QFileDialog::ExistingFile);
  dialog->setNameFilters({tr("ディスクイメージ (*.img *.dd *.raw)"), tr("すべてのファイル (*)")});
  dialog->setLabelText(QFileDialog::Accept, tr("開く"));
  dialog->setLabelText(QFileDialog::Reject, tr("キャンセル"));
  if (QFileInfo(last).isFile()) dialog->selectFile(last);
  // Opened window-modal without waiting: cancelling only closes it. The
  // choice is taken once the dialog has closed, so that a message about it
  // does not show over the dialog.
  connect(dialog, &QFileDialog::fileSelected, this, &MainView::open_disk_image, Qt::QueuedConnection);
  dialog->open();
}

void MainView::open_disk_image(const QString& path) {
  // The choice is offered outside playback only; a dialog left open while
  // playback began changes nothing.
  if (path.isEmpty() || playback_mode_ != kNoPlayback) return;
  const QString not_an_image = tr("%1 は録画装置のディスクイメージではありません").arg(QDir::toNativeSeparators(path));
  // A refused file leaves the open disk as it was.
  if (lib::hdd_open_path(QFile::encodeName(path).constData()) != 0) {
    show_message(this, not_an_image, MessageIcon::kExclamation);
    return;
  }
  uint32_t sw[128] = {};
  if (lib::hdd_read_hdsw(sw) != 0 || sw[0] != kRecorderDiskMark) {
    // Opening the file closed the disk opened before: it is opened again.
    lib::hdd_close();
    if (disk_open_)
      disk_open_ = disk_image_.isEmpty() ? lib::hdd_open(disk_drive_) == 0
                                         : lib::hdd_open_path(QFile::encodeName(disk_image_).constData()) == 0;
    show_message(this, not_an_image, MessageIcon::kExclamation);
    return;
  }
  disk_open_ = true;
  disk_image_ = QFileInfo(path).absoluteFilePath();
  // Remembered for the next dialog; a name with a line break would end the
  // settings line early, and one longer than a value holds would be cut.
  const std::string remembered = disk_image_.toStdString();
  if (remembered.size() < 256 && remembered.find_first_of("\r\n") == std::string::npos) {
    const ViewerSettings sn(QDir(program_folder_).filePath(QString::fromLatin1(kViewerSettingFile)).toStdString());
    sn.write(kDiskImageKey, remembered);
  }
  // On as with a drive: the open disk's index, the time search window.
  open_recorder_disk();
}

void MainView::enter_disk_playback() {
  refresh_timer_->start();
  position_frame_->show();
  playback_frame_->show();
  data_copy_button_->show();
  still_button_->show();
  for (QPushButton* b : playback_buttons_) {
    b->show();
    b->setEnabled(true);
  }
  position_bar_->setEnabled(false);
  if (high_rate_check_->isChecked()) sound_frame_->show();
  playback_mode_ = kDiskPlayback;
  position_set_ = true;
  playback_button(PlaybackButton::kPlay);
}

void MainView::enter_saved_playback() {
  refresh_timer_->start();
  position_frame_->show();
  playback_frame_->show();
  still_button_->show();
  for (QPushButton* b : playback_buttons_) {
    b->show();
    b->setEnabled(true);
  }
  if (high_rate_check_->isChecked()) sound_frame_->show();
  wait_ms(500);
  playback_mode_ = kSavedDataPlayback;
  position_by_program_ = true;
  position_bar_->setValue(0);
  position_by_program_ = false;
  position_set_ = true;
  playback_button(PlaybackButton::kPlay);
  uint32_t base = 0, end = 0;
  if (lib::file_read_start_end_sec(&base, &end) == 0) set_file_range(base, end);
  position_bar_->setEnabled(true);
  start_pictures_pending_ = true;
  show_start_pictures();
}

void MainView::leave_playback() {
  draining_ = false;
  if (hooks_.close_picture_save_and_copy) hooks_.close_picture_save_and_copy();
  refresh_timer_->stop();
  back_button_->setEnabled(false);
  speed_label_->clear();
  if (playback_mode_ == kSavedDataPlayback) {
    lib::file_play_stop();
    lib::file_read_stop();
  } else if (playback_mode_ == kDiskPlayback) {
    lib::hdd_play_stop();
  }
  position_frame_->hide();
  playback_frame_->hide();
  sound_frame_->hide();
  for (QPushButton* b : {disk_playback_button_, saved_video_button_, saved_stills_button_}) {
    b->setEnabled(true);
    b->show();
  }
  data_copy_button_->hide();
  still_button_->hide();
  playback_mode_ = kNoPlayback;
  if (hooks_.close_searches) hooks_.close_searches();
  time_label_->clear();
  show_start_pictures();
  // The refresh timer may have paused the live clock; it runs again.
  if (receiving_) clock_timer_->start(50);
  update_status();
}

void MainView::playback_button(PlaybackButton button) {
  using B = PlaybackButton;
  if (button != B::kFastForward) ff_level_ = 0;
  if (button != B::kFastRewind) fr_level_ = 0;
  if (playback_mode_ != kNoPlayback) {
    // Whatever the button does, the pictures it brings are followed, even
    // when the engine is idle again before the refresh timer looks.
    draining_ = true;
    drain_clock_.start();
  }
  const bool saved = playback_mode_ == kSavedDataPlayback;
  const bool disk = playback_mode_ == kDiskPlayback;
  // While paused (the clock timer runs then) the fast buttons step.
  const bool steps = (button == B::kFastRewind || button == B::kFastForward) && clock_timer_->isActive();
  // A step while paused keeps it paused; stop pauses; the rest play.
  if (button == B::kStop) {
    playing_ = false;
  } else if (!steps) {
    playing_ = playback_mode_ != kNoPlayback;
    reverse_ = button == B::kFastRewind || button == B::kReversePlay;
  }
  // Playing, a direction change and a new speed go on from the picture on
  // screen; a press while paused that steps starts from it by itself.
  const bool plays_on =
      button == B::kFastRewind || button == B::kReversePlay || button == B::kPlay || button == B::kFastForward;
  if (plays_on && !steps) start_from_shown_picture();
  position_set_ = false;
  switch (button) {
    case B::kRecordingStart:
      if (disk) go_to_current_recording_start();
      break;
    case B::kFastRewind: fast_play(Step::kBack); break;
    case B::kReversePlay:
      if (saved) lib::file_play_back(0);
      if (disk) lib::hdd_play_back(0);
      break;
    case B::kPlay: play(); break;
    case B::kFastForward: fast_play(Step::kForward); break;
    case B::kNextRecording:
      if (disk) go_to_next_recording();
      break;
    case B::kStop:
      if (saved) lib::file_play_stop();
      if (disk) lib::hdd_play_stop();
      break;
    case B::kFromStart: back_to_start_and_play(); break;
  }
  update_status();
}

// Before a connection: the fast speeds start again from the lowest, and the
// next play starts at the picture on screen.
void MainView::reset_playback_speeds() {
  ff_level_ = 0;
  fr_level_ = 0;
  position_set_ = false;
  update_status();
}

// The engine stops, which drops what the channel still held of the
// reading, and the reading is put on the recorder time of the picture on
// screen. Not after a search or a move of the position bar, which put the
// reading where playback is to start.
void MainView::start_from_shown_picture() {
  if (position_set_ || (playback_mode_ != kSavedDataPlayback && playback_mode_ != kDiskPlayback)) return;
  if (playback_mode_ == kSavedDataPlayback)
    lib::file_play_stop();
  else
    lib::hdd_play_stop();
  QDir::setCurrent(picture_folder_.path);
  int32_t count = 0, first = 0, second = 0;
  uint32_t time = 0;
  if (lib::make_bmp_one(&count, &first, &second, &time) == lib::kMissing || time == 0) return;
  show_played(count, first, second, time);
  if (playback_mode_ == kSavedDataPlayback)
    lib::file_search(time);
  else
    lib::search_play(time);
}

void MainView::play() {
  speed_label_->clear();
  if (playback_mode_ == kSavedDataPlayback) {
    if (display_rate_ == DisplayRate::kHigh)
      lib::file_play_start();
    else
      lib::file_play_forward(0);
  } else if (playback_mode_ == kDiskPlayback) {
    if (display_rate_ == DisplayRate::kHigh)
      lib::hdd_play_start();
    else
      lib::hdd_play_forward(0);
  }
}

// Each press of fast forward or fast rewind takes the next speed, 1 to 6 and
// round again; while paused it steps one frame that way instead.
void MainView::fast_play(Step direction) {
  const bool forward = direction == Step::kForward;
  int& level = forward ? ff_level_ : fr_level_;
  level = level >= 6 ? 1 : level + 1;
  if (playback_mode_ != kSavedDataPlayback && playback_mode_ != kDiskPlayback) return;
  if (clock_timer_->isActive()) {
    step(direction);
    return;
  }
  if (playback_mode_ == kSavedDataPlayback)
    forward ? lib::file_play_forward(level) : lib::file_play_back(level);
  else
    forward ? lib::hdd_play_forward(level) : lib::hdd_play_back(level);
  speed_label_->setText((forward ? tr("早送り×%1") : tr("早戻し×%1")).arg(QLatin1String(kSpeedTexts[level])));
}

// Paused (the refresh timer found playback idle and let the clock timer
// run): one frame, that is one GOP, forward or back.
void MainView::step(Step direction) {
  QDir::setCurrent(picture_folder_.path);
  int32_t count = 0, first = 0, second = 0;
  uint32_t before = 0;
  lib::make_bmp_one(&count, &first, &second, &before);
  if (playback_mode_ == kSavedDataPlayback) {
    direction == Step::kForward ? lib::file_one_play() : lib::file_one_back();
    wait_ms(200);
  } else {
    direction == Step::kForward ? lib::hdd_one_play() : lib::hdd_one_back();
    wait_ms(100);
  }
  show_stepped_picture(before);
}

// A step returns the play state to idle as soon as its GOP is handed over,
// before the picture is decoded; the refresh timer's make_bmp then reports
// idle and shows nothing. So the stepped picture is fetched as it comes.
void MainView::show_stepped_picture(uint32_t shown_before) {
  QDir::setCurrent(picture_folder_.path);
  int32_t count = 0, first = 0, second = 0;
  uint32_t time = 0;
  QElapsedTimer waited;
  waited.start();
  for (;;) {
    if (lib::make_bmp_one(&count, &first, &second, &time) == lib::kMissing) return;
    if (time != shown_before || waited.elapsed() >= 1000) break;
    wait_ms(10);
  }
  show_played(count, first, second, time);
}

// A played picture is taken from the library in memory; an older library
// without that hands it over as its file only. A picture unchanged since the
// last refresh is not converted or drawn again, so that the short refresh of
// the every-picture rate costs little while the picture stands.
void MainView::show_played_slot(int slot) {
  Cell& cell = cells_[static_cast<size_t>(slot - 1)];
  // The cell names the picture by the file the library writes beside it.
  const QString path = QDir(program_folder_).filePath(QStringLiteral("bmp%1.bmp").arg(slot));
  if (played_rgb_.empty()) played_rgb_.resize(static_cast<size_t>(704) * 480 * 3);
  int32_t width = 0, height = 0;
  uint32_t serial = 0;
  const int32_t r = lib::make_bmp_picture(slot, played_rgb_.data(), static_cast<int32_t>(played_rgb_.size()), &width,
                                          &height, &serial);
  if (r == lib::kMissing) {
    cell.picture->load_if_new(path);
    return;
  }
  if (r != 1 || width <= 0 || height <= 0) return;
  if (serial == cell.played_serial && cell.picture->source() == path) return;
  cell.picture->set_image(image_from_bottom_up_bgr(played_rgb_.data(), width, height), path);
  cell.played_serial = serial;
}

void MainView::show_decoded_pictures(int32_t count, int32_t first, int32_t second) {
  if (count == 4) {
    for (int slot = 1; slot <= 4; ++slot) show_played_slot(slot);
  } else if (count == 2 || count == 1) {
    const int selectors[2] = {first, second};
    for (int k = 0; k < count; ++k) {
      const int slot = selectors[k];
      if (slot >= 1 && slot <= 4) show_played_slot(slot);
    }
  }
}

std::optional<uint32_t> MainView::current_recording_start() const {
  const std::optional<uint32_t> shown = parse_shown_time(time_label_->text());
  if (!shown) return std::nullopt;
  return first_recording_start([&](uint32_t start, uint32_t end) { return start <= *shown && *shown <= end; });
}

std::optional<uint32_t> MainView::next_recording_start() const {
  const std::optional<uint32_t> shown = parse_shown_time(time_label_->text());
  if (!shown) return std::nullopt;
  return first_recording_start([&](uint32_t start, uint32_t) { return start > *shown; });
}

void MainView::go_to_current_recording_start() {
  speed_label_->clear();
  lib::hdd_play_stop();
  wait_ms(1000);
  if (const auto t = current_recording_start()) lib::search_play(*t);
  play();
}

void MainView::go_to_next_recording() {
  if (!next_recording_start()) return;
  speed_label_->clear();
  lib::hdd_play_stop();
  wait_ms(1000);
  if (const auto t = next_recording_start()) lib::search_play(*t);
  play();
}

void MainView::back_to_start_and_play() {
  if (playback_mode_ == kSavedDataPlayback) {
    lib::file_play_stop();
    lib::file_search(file_base_);
    wait_ms(500);
    play();
  } else if (playback_mode_ == kDiskPlayback) {
    lib::hdd_play_stop();
    if (const auto t = current_recording_start()) lib::search_play(*t);
    wait_ms(500);
    play();
  }
}

void MainView::refresh_pictures() {
  QDir::setCurrent(picture_folder_.path);
  int32_t count = 0, first = 0, second = 0, idle = 0;
  uint32_t time = 0;
  if (lib::make_bmp(&count, &first, &second, &time, &idle) == lib::kMissing) return;
  if (idle == 1) {
    // Playback that was seen running has ended (at the end of the data).
    if (!playback_idle_) playing_ = false;
    playback_idle_ = true;
    update_status();
    if (!clock_timer_->isActive()) clock_timer_->start(50);
    speed_label_->clear();
    drain_pictures();
    return;
  }
  clock_timer_->stop();
  playback_idle_ = false;
  update_status();
  draining_ = true;
  drain_clock_.start();
  if (decoder_failed()) return;
  show_played(count, first, second, time);
}

bool MainView::decoder_failed() {
  if (lib::get_dec_sts() != 1) return false;
  lib::clear_dec_err();
  draining_ = false;
  playback_button(PlaybackButton::kStop);
  show_message(this, tr("再生データが不正です"), MessageIcon::kNone, true);
  show_start_pictures();
  return true;
}

// The engine reports idle as soon as it has handed its last GOP to the
// channel (at the end of the data, after a step), while the channel still
// shows the frames queued before: a short copy would play to its end
// without a picture. After a stop the GOP on screen plays to its end. So after playback the pictures are followed
// until they have not changed for a second, and undecodable data is still
// reported.
void MainView::drain_pictures() {
  if (!draining_) return;
  if (decoder_failed()) return;
  int32_t count = 0, first = 0, second = 0;
  uint32_t time = 0;
  if (lib::make_bmp_one(&count, &first, &second, &time) == lib::kMissing) {
    draining_ = false;
    return;
  }
  if (time != last_played_time_)
    drain_clock_.start();
  else if (drain_clock_.elapsed() >= 1000)
    draining_ = false;
  show_played(count, first, second, time);
}

void MainView::show_played(int32_t count, int32_t first, int32_t second, uint32_t time) {
  if (time != 0) time_label_->setText(played_time_text(time));
  last_played_time_ = time;

  if (playback_mode_ == kSavedDataPlayback) {
    position_bar_->setEnabled(true);
    // The bar holds 16-bit values; a span or position beyond them leaves
    // the bar as it is.
    const int64_t span = static_cast<int64_t>(file_end_) - file_base_;
    const int64_t at = static_cast<int64_t>(time) - file_base_;
    if (span >= 0 && span <= 32767 && at >= 0 && at <= 32767) {
      position_by_program_ = true;
      position_bar_->setMaximum(static_cast<int>(span));
      position_bar_->setValue(static_cast<int>(at));
      position_by_program_ = false;
    }
  }

  if (start_pictures_pending_)
    show_start_pictures();
  else
    show_decoded_pictures(count, first, second);
  // Decoded pictures have arrived: the start pictures give way to them.
  if (count == 4 || count == 2 || count == 1) start_pictures_pending_ = false;
  if (playback_mode_ != kSavedDataPlayback) position_bar_->setEnabled(false);
}

void MainView::on_position_dragged(int value) {
  if (position_by_program_) return;
  playback_button(PlaybackButton::kStop);
  time_label_->setText(played_time_text(file_base_ + static_cast<uint32_t>(value)));
}

void MainView::on_position_changed(int value) {
  if (position_by_program_) return;
  playback_button(PlaybackButton::kStop);
  lib::file_search(file_base_ + static_cast<uint32_t>(value));
  position_set_ = true;
  playback_button(PlaybackButton::kPlay);
  playback_buttons_[static_cast<size_t>(PlaybackButton::kPlay)]->setFocus();
}

}  // namespace velmora::viewer
