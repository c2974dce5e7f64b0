// The live view of the main window: connecting to a recorder from the list,
// the clock and status timer that fetches the pictures, the single-camera
// view, and disconnecting.
#include <QApplication>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTime>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "libraries.h"
#include "live_picture.h"
#include "mainview.h"
#include "ui_support.h"
#include "velmora/rectime.h"

namespace velmora::viewer {
namespace {

constexpr int kSlotsUsed = 5;

// The message for a refused or failed login.
QString connect_failure_text(int32_t r, const QString& address) {
  switch (r) {
    case -51: return MainView::tr("デジタルレコーダが接続禁止設定です。");
    case -50:
    case -49:
    case -1: return MainView::tr("ＩＤ・パスワードが間違っています。");
    case -200: return MainView::tr("使用中です。");
    default: return MainView::tr("デジタルレコーダと接続されていません。") + QLatin1Char('\n') + address;
  }
}

// The stream address from the 32-bit value of its switch item: the four
// byte values, most significant first, joined by dots.
QString stream_address_text(uint32_t value) {
  return QStringLiteral("%1.%2.%3.%4")
      .arg((value >> 24) & 0xFF)
      .arg((value >> 16) & 0xFF)
      .arg((value >> 8) & 0xFF)
      .arg(value & 0xFF);
}

}  // namespace

QString MainView::live_picture_path(int camera, int source) const {
  char name[32];
  std::snprintf(name, sizeof name, "img/serv%d%02d.jpg", source, camera);
  return QDir(program_folder_).filePath(QString::fromLatin1(name));
}

// Takes the camera's new picture from the library, if it has one, on one of
// the round's threads.
void MainView::fetch_live_picture(LivePoll& poll, std::vector<uint8_t>& rgb) {
  // The largest picture a recorder sends, in the rows the library hands over.
  constexpr size_t kLargest = static_cast<size_t>(1920) * 1080 * 3;
  if (rgb.size() < kLargest) rgb.resize(kLargest);
  int32_t width = 0, height = 0;
  poll.result =
      lib::brin_udp_rx_picture(poll.camera, poll.source, rgb.data(), static_cast<int32_t>(rgb.size()), &width, &height);
  if (poll.result == 1 && width > 0 && height > 0) poll.image = image_from_bottom_up_bgr(rgb.data(), width, height);
}

// Shows the picture a poll took in its cell; false when it took none.
bool MainView::show_live_picture(const LivePoll& poll) {
  PictureBox* box = cells_[static_cast<size_t>(poll.cell)].picture;
  if (poll.result == lib::kMissing) {
    // An older library hands pictures over as files only.
    return lib::brin_udp_rx(poll.camera, poll.source) > 0 && box->load(live_picture_path(poll.camera, poll.source));
  }
  if (poll.image.isNull()) return false;
  // The cell names the picture by the file the library would have written.
  box->set_image(poll.image, live_picture_path(poll.camera, poll.source));
  return true;
}

// The shown cameras are polled side by side; their pictures are then shown
// one cell after the other.
void MainView::poll_live_pictures(uint32_t mask) {
  std::array<LivePoll, 4> polls;
  int count = 0;
  for (int cell = 0; cell < 4; ++cell) {
    if (split_mode_ != 4 && split_mode_ != cell) continue;
    const int code = cell_camera_code_[static_cast<size_t>(cell)];
    if (code < 1 || code > 32) continue;
    const int source = code >= 17 ? 1 : 0;
    const int camera = source ? code - 17 : code - 1;
    if (!((mask >> camera) & 1)) continue;
    uint16_t ptz[3] = {};
    lib::brin_udp_ptzstatus(camera, &ptz[0], &ptz[1], &ptz[2]);
    polls[static_cast<size_t>(count++)] = LivePoll{cell, camera, source, 0, QImage()};
  }
  live_rgb_.resize(static_cast<size_t>(poll_round_.threads()));
  poll_round_.run(count, [&](int i, int thread) {
    fetch_live_picture(polls[static_cast<size_t>(i)], live_rgb_[static_cast<size_t>(thread)]);
  });
  for (int i = 0; i < count; ++i) {
    const int cell = polls[static_cast<size_t>(i)].cell;
    if (!show_live_picture(polls[static_cast<size_t>(i)])) continue;
    ++picture_counter_;
    picture_shown_[static_cast<size_t>(cell)] = 1;
    const size_t c = static_cast<size_t>(cell);
    picture_age_[c].start();
    silence_.start();
    // The recorder's clock as the picture came, else the PC's.
    picture_time_[c] = parse_shown_time(time_label_->text());
    if (picture_time_[c]) {
      const vp::RecTime r = vp::rec_time_from_seconds(*picture_time_[c]);
      picture_clock_[c] = QString::asprintf("%02d:%02d:%02d", r.hour, r.minute, r.second);
    } else {
      picture_clock_[c] = QTime::currentTime().toString(QStringLiteral("HH:mm:ss"));
    }
  }
}

// Between the clock ticks the shown cameras' pictures are taken as they
// come; status, time and supervision stay with the clock tick.
void MainView::on_picture_tick() {
  if (busy_ || !receiving_ || !live_shown()) return;
  busy_ = true;
  poll_live_pictures(status_mask_);
  busy_ = false;
}

void MainView::reset_cell_names() {
  for (size_t i = 0; i < cell_names_.size(); ++i)
    cell_names_[i] = tr("カメラ%1").arg(static_cast<int>(i) + 1, 2, 10, QLatin1Char('0'));
}

int32_t MainView::display_bits() const {
  int32_t bits = 0;
  for (int cell = 0; cell < 4; ++cell) {
    if (split_mode_ != 4 && split_mode_ != cell) continue;
    const int code = cell_camera_code_[static_cast<size_t>(cell)];
    if (code >= 1 && code <= 16) bits |= 1 << (code - 1);
    if (code >= 17 && code <= 32) bits |= 1 << (code - 17);
  }
  return bits;
}

void MainView::connect_list_row(int row) {
  if (row < 0 || row >= recorder_list_->count()) return;
  if (row == selected_entry_) return;
  selected_entry_ = row;
  if (receiving_) {
    switch_over(row);
    return;
  }
  connect_entry(row);
}

void MainView::connect_entry(int row) {
  set_wait_cursor();
  connection_label_->setText(tr("接続中"));
  connection_label_->repaint();
  clock_timer_->stop();
  reset_playback_speeds();

  const int n = recorder_number_from_line(recorder_list_->item(row)->text().toStdString());
  const RecorderEntry* entry = connections_.entry(n);
  if (!entry) {
    connection_label_->setText(tr("接続失敗"));
    selected_entry_ = -99;
    restore_cursor();
    return;
  }
  entry_number_ = n;
  const HostAddress host = resolve_host(entry->host, system_name_lookup, [](int ms) { wait_ms(ms); });
  address_text_ = QString::fromStdString(host.text);
  octets_ = host.octets;
  login_ = entry->login;
  // The recorder's reply text is at most half its login token long; 128
  // bytes always hold it.
  char reply[128];
  std::memset(reply, ' ', sizeof reply - 1);
  reply[sizeof reply - 1] = '\0';

  const QByteArray address = address_text_.toUtf8();
  int32_t r = lib::brin_connect(0, address.constData(), login_.c_str(), reply);
  if (r < 0) {
    show_message(this, connect_failure_text(r, address_text_), MessageIcon::kCritical);
    connection_label_->setText(tr("接続失敗"));
    // The same entry can be chosen again to retry.
    selected_entry_ = -99;
    restore_cursor();
    return;
  }
  slots_[0] = 1;
  wait_ms(1000);
  set_wait_cursor();
  restore_cursor();
  wait_ms(2000);

  lib::brin_cam_swset(0, 187, 0);
  const int32_t a = lib::brin_cam_swget(0, 181);
  wait_ms(100);
  const int32_t p = entry->packet_size;
  if (a == 0) {
    lib::brin_cam_swset(0, 189, p != 0 ? p : 0);
  } else {
    // The recorder's packet size is only ever lowered.
    const int32_t c = lib::brin_cam_swget(0, 189);
    if (p != 0 && p < c)
      lib::brin_cam_swset(0, 189, p);
    else if (p == 0 && 0 < c)
      lib::brin_cam_swset(0, 189, 0);
  }
  wait_ms(100);
  const uint32_t m = static_cast<uint32_t>(lib::brin_cam_swget(0, 182));
  wait_ms(100);
  const int32_t port = lib::brin_cam_swget(0, 183);
  stream_address_ = stream_address_text(m);
  stream_port_ = port;
  wait_ms(100);

  r = lib::brin_udp_count(0, 0, entry->sp, entry->audio);
  if (r < 0) {
    show_message(this, r == -1 ? tr("使用されています。") : tr("接続に失敗しました。"), MessageIcon::kNone, true);
    connection_label_->setText(tr("接続失敗"));
    selected_entry_ = -99;
    close_open_slots();
    restore_cursor();
    return;
  }

  set_wait_cursor();
  restore_cursor();
  status_mask_ = 0;
  wait_ms(100);
  // The menu data is as long as the recorder announces (the library delivers
  // at most 1 MiB); only its first bytes are used.
  std::vector<uint8_t> menu(static_cast<size_t>(1) << 20, 0);
  r = lib::brin_rx_menu_data(0, 0, menu.data());
  if (r < 0) {
    show_message(this, tr("接続に失敗しました。"), MessageIcon::kNone, true);
    connection_label_->setText(tr("接続失敗"));
    selected_entry_ = -99;
    wait_ms(1000);
    lib::brin_udp_count(0, 1, 0, 0);
    wait_ms(100);
    close_open_slots();
    restore_cursor();
    return;
  }
  camera_table_.clear();
  for (int i = 0; i < 16; ++i)
    if (menu[static_cast<size_t>(i)] != 0) camera_table_.emplace_back(i, menu[static_cast<size_t>(i)]);

  connection_label_->setText(tr("ライブ"));
  const QByteArray stream = stream_address_.toLatin1();
  lib::brin_udp_connect(stream.constData(), port, 0);
  lib::brin_udp_rx_start(octets_[0], octets_[1], octets_[2], octets_[3]);
  receiving_ = row + 1;
  picture_counter_ = 999;
  tick_counter_ = 0;
  // Every cell counts as fresh from the connection on: a camera that never
  // sends is shown as such after the same wait as one that stops.
  for (size_t cell = 0; cell < picture_age_.size(); ++cell) {
    picture_age_[cell].start();
    picture_time_[cell].reset();
  }
  silence_.start();
  silent_ = false;
  reconnect_attempts_ = 0;

  disk_playback_button_->setEnabled(true);
  saved_video_button_->setEnabled(true);
  disconnect_button_->setEnabled(true);
  saved_stills_button_->setEnabled(false);
  data_copy_button_->setEnabled(false);
  for (int i = 0; i <= 5; ++i) playback_buttons_[static_cast<size_t>(i)]->setVisible(true);

  lib::brin_udp_dispmode(0, 0, display_bits());
  if (audio_device_) lib::wave_play_ctrl(1);

  wait_ms(500);
  lib::brin_unconnect(0, 0, 0, 0);
  wait_ms(500);
  slots_[0] = 0;

  for (int cell = 0; cell < 4; ++cell) {
    const int code = cell_camera_code_[static_cast<size_t>(cell)];
    const int camera = code >= 17 ? code - 17 : code - 1;
    if (code >= 1 && code <= 32) {
      cell_names_[static_cast<size_t>(cell)] = QString::fromStdString(entry->camera_names[static_cast<size_t>(camera)]);
      cells_[static_cast<size_t>(cell)].picture->setToolTip(cell_names_[static_cast<size_t>(cell)]);
    }
  }
  update_cell_labels();
  update_status();
  clock_timer_->start(50);
  restore_cursor();
}

void MainView::switch_over(int row) {
  clock_timer_->stop();
  connection_label_->setText(tr("切断中"));
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
  if (slots_[0] == 0) {
    char reply[128] = {};
    const QByteArray address = address_text_.toUtf8();
    if (lib::brin_connect(0, address.constData(), login_.c_str(), reply) == 0) slots_[0] = 1;
  }
  wait_ms(1500);
  lib::brin_udp_count(0, 1, 0, 0);
  wait_ms(100);
  lib::brin_udp_close();
  if (audio_device_) lib::wave_play_ctrl(0);
  receiving_ = 0;
  close_open_slots();
  wait_ms(1000);
  // The old recorder's pictures go; should the new connection fail, the
  // window is left not connected.
  for (size_t i = 0; i < picture_shown_.size(); ++i) picture_shown_[i] = 0;
  show_start_pictures();
  reset_cell_names();
  for (Cell& c : cells_) c.picture->setToolTip(QString());
  update_cell_labels();
  if (playback_mode_ == kNoPlayback) time_label_->clear();
  set_not_connected_state();
  connect_entry(row);
}

void MainView::close_open_slots(int pause_ms) {
  for (int s = 0; s < kSlotsUsed; ++s) {
    if (slots_[static_cast<size_t>(s)] == 0) continue;
    lib::brin_unconnect(s, 0, 0, 0);
    slots_[static_cast<size_t>(s)] = 0;
    wait_ms(pause_ms);
  }
}

void MainView::disconnect_live() {
  if (!receiving_) return;
  set_wait_cursor();
  if (playback_mode_ != kNoPlayback) playback_button(PlaybackButton::kStop);
  connection_label_->setText(tr("切断中"));
  stop_stream(StreamStop::kDisconnect);
  restore_cursor();
}

// Stops the live stream: the recorder is asked to stop sending (over a
// control connection opened again for it), reception and audio end, and the
// slots close. On a disconnect it pauses after each step and the cells and
// buttons return to the not-connected state; at the program's end it does
// neither.
void MainView::stop_stream(StreamStop stop) {
  const bool disconnect = stop == StreamStop::kDisconnect;
  const int pause_ms = disconnect ? 1000 : 0;
  lib::brin_udp_rx_stop();
  receiving_ = 0;
  clear_staleness();
  if (slots_[0] == 0) {
    char reply[128] = {};
    const QByteArray address = address_text_.toUtf8();
    if (lib::brin_connect(0, address.constData(), login_.c_str(), reply) == 0) slots_[0] = 1;
  }
  lib::brin_udp_count(0, 1, 0, 0);
  wait_ms(pause_ms);
  lib::brin_udp_close();
  if (audio_device_) lib::wave_play_ctrl(0);
  wait_ms(pause_ms);
  close_open_slots(pause_ms);
  // After a disconnect every recorder, the last one included, can be chosen.
  selected_entry_ = -99;
  if (!disconnect) return;

  for (size_t i = 0; i < picture_shown_.size(); ++i) picture_shown_[i] = 0;
  // Played pictures and their time stay; live ones go.
  const bool live = playback_mode_ == kNoPlayback && !back_button_->isEnabled();
  if (live) show_start_pictures();
  reset_cell_names();
  for (Cell& c : cells_) c.picture->setToolTip(QString());
  update_cell_labels();
  if (live) time_label_->clear();
  connection_label_->setText(tr("未接続"));
  set_not_connected_state();
  update_status();
}

// Switches the recorder's telnet service on and says whether it worked. The
// control connection is closed while live pictures come, so it is opened
// for the request and closed again.
void MainView::telnet_on() {
  if (!receiving_) {
    show_message(this, tr("デジタルレコーダと接続されていません。"), MessageIcon::kExclamation);
    return;
  }
  set_wait_cursor();
  const bool opened_here = slots_[0] == 0;
  int32_t r = -1;
  if (opened_here) {
    char reply[128] = {};
    const QByteArray address = address_text_.toUtf8();
    if (lib::brin_connect(0, address.constData(), login_.c_str(), reply) >= 0) slots_[0] = 1;
  }
  if (slots_[0] != 0) r = lib::brin_hd_swset(0, 99, 288);
  if (opened_here && slots_[0] != 0) {
    lib::brin_unconnect(0, 0, 0, 0);
    slots_[0] = 0;
  }
  restore_cursor();
  if (r >= 0)
    show_message(this, tr("TELnetをONにしました。"), MessageIcon::kInformation);
  else
    show_message(this, tr("TELnetをONにできませんでした。(%1)").arg(r), MessageIcon::kExclamation);
}

void MainView::set_not_connected_state() {
  for (QPushButton* b : camera_buttons_) b->setEnabled(true);
  // Playback goes on without the recorder; its buttons stay usable.
  if (playback_mode_ == kNoPlayback)
    for (QPushButton* b : playback_buttons_) b->setEnabled(false);
  // Disk and saved-data playback stay available without a recorder, as at
  // start; the button that entered the current playback stays disabled.
  disk_playback_button_->setEnabled(playback_mode_ != kDiskPlayback);
  saved_video_button_->setEnabled(playback_mode_ != kSavedDataPlayback);
  saved_stills_button_->setEnabled(true);
  data_copy_button_->setEnabled(true);
  disconnect_button_->setEnabled(false);
  recorder_list_->setEnabled(true);
}

void MainView::on_clock_tick() {
  if (busy_) return;
  busy_ = true;
  if (!receiving_) {
    busy_ = false;
    return;
  }
  for (int s = 0; s < kSlotsUsed; ++s) {
    int& slot = slots_[static_cast<size_t>(s)];
    if (slot == 0) continue;
    if (++slot > timing().slot_age_ticks) {
      lib::brin_unconnect(s, 0, 0, 0);
      slot = 0;
      wait_ms(1000);
    }
  }

  // Under playback or saved stills the cells and the clock are theirs; the
  // stream is still watched, but no live picture or time is shown and the
  // picture supervision rests.
  const bool live = live_shown();
  lib::RxTime t{};
  if (live && lib::brin_udp_rxtime(0, &t)) {
    const int year = 2000 + static_cast<int>(t.time & 0xFF);
    time_label_->setText(live_time_text(year, (t.time >> 8) & 0xFF, (t.time >> 16) & 0xFF, (t.time >> 24) & 0xFF,
                                        t.fraction & 0xFF, (t.fraction >> 8) & 0xFF));
  }

  lib::brin_udp_rx_stop();
  uint8_t flags[2] = {}, channel[2] = {};
  uint16_t status[2] = {}, control[3] = {};
  lib::brin_udp_rxstatus(0, &flags[0], &channel[0], &status[0], &control[0], &control[1], &control[2]);
  lib::brin_udp_rxstatus(1, &flags[1], &channel[1], &status[1], &control[0], &control[1], &control[2]);
  const uint32_t mask = status[0];
  if (mask != status_mask_) {
    status_mask_ = mask;
    for (int i = 0; i < 4; ++i) {
      const int code = cell_camera_code_[static_cast<size_t>(i)];
      const int camera = code >= 17 ? code - 17 : code - 1;
      camera_buttons_[static_cast<size_t>(i)]->setEnabled(code >= 1 && code <= 32 && ((mask >> camera) & 1));
    }
  }

  if (live) poll_live_pictures(mask);
  lib::brin_udp_rx_start(octets_[0], octets_[1], octets_[2], octets_[3]);

  if (flags[0] & 0x10) {
    disconnect_live();
    show_message(this, tr("本体より強制切断されました"));
  }
  if (flags[1] & 0x20) {
    uint8_t f = 0, c = 0;
    uint16_t s = 0, c1 = 0, c2 = 0, c3 = 0;
    lib::brin_udp_rxstatus(-1, &f, &c, &s, &c1, &c2, &c3);
  }

  if (live && receiving_)
    watch_live_pictures();
  else
    clear_staleness();

  // The supervision stays the last word: a recorder that the reconnection
  // attempts do not bring back is dropped with its message.
  if (!live) tick_counter_ = 0;
  if (tick_counter_ > timing().supervision_ticks) {
    if (picture_counter_ < 2 && receiving_) {
      disconnect_live();
      show_message(this, tr("本体から画像がきていません。"), MessageIcon::kNone, true);
    }
    picture_counter_ = 0;
    tick_counter_ = 0;
  } else {
    ++tick_counter_;
  }
  busy_ = false;
}

void MainView::show_single(int cell) {
  if (cell < 0 || cell > 3) return;
  split_mode_ = cell;
  for (Cell& c : cells_) {
    c.label->hide();
    c.picture->hide();
  }
  apply_cells();
  Cell& c = cells_[static_cast<size_t>(cell)];
  c.label->show();
  c.picture->show();
  still_button_->setEnabled(true);
  choose_still_cell(cell);
}

void MainView::show_four() {
  camera_frame_->hide();
  apply_four_split();
  split_mode_ = 4;
  camera_frame_->show();
  update_still_button();
}

// ---- Honest live view

QString MainView::live_status_text() const {
  if (silent_) return tr("受信停止・再接続%1回目").arg(reconnect_attempts_);
  int stale = 0, shown = 0;
  for (int cell = 0; cell < 4; ++cell) {
    stale += cell_stale(cell) ? 1 : 0;
    shown += split_mode_ == 4 || split_mode_ == cell ? 1 : 0;
  }
  if (stale == 0) return tr("ライブ");
  return stale < shown ? tr("ライブ・一部停止") : tr("ライブ・映像停止");
}

bool MainView::cell_stale(int cell) const {
  return cell >= 0 && cell < 4 && cells_[static_cast<size_t>(cell)].picture->stale();
}

// Marks the cells whose pictures have not changed for the stale time, and
// notices when no cell has had a new picture for the silent time.
void MainView::watch_live_pictures() {
  int stale_cells = 0, watched = 0;
  for (int cell = 0; cell < 4; ++cell) {
    const size_t c = static_cast<size_t>(cell);
    const int code = cell_camera_code_[c];
    const int camera = code >= 17 ? code - 17 : code - 1;
    const bool shown = split_mode_ == 4 || split_mode_ == cell;
    // A camera the recorder reports absent is not expected to send.
    const bool expected = code >= 1 && code <= 32 && (status_mask_ == 0 || ((status_mask_ >> camera) & 1));
    const bool stale = shown && expected && picture_age_[c].isValid() && picture_age_[c].elapsed() > timing().stale_ms;
    QString note;
    if (stale) note = picture_shown_[c] ? tr("映像停止\n最終画像 %1").arg(picture_clock_[c]) : tr("映像なし");
    cells_[c].picture->set_stale(stale, note);
    stale_cells += stale ? 1 : 0;
    watched += shown && expected ? 1 : 0;
  }

  const bool silent = silence_.isValid() && silence_.elapsed() > timing().silent_ms;
  if (silent && !silent_) {
    silent_ = true;
    reconnect_attempts_ = 0;
    if (!reconnect_timer_) {
      reconnect_timer_ = new QTimer(this);
      reconnect_timer_->setObjectName(QStringLiteral("tmrReconnect"));
      reconnect_timer_->setSingleShot(true);
      connect(reconnect_timer_, &QTimer::timeout, this, &MainView::try_reconnect);
    }
    reconnect_timer_->start(timing().reconnect_first_ms);
  } else if (!silent && silent_) {
    silent_ = false;
    reconnect_attempts_ = 0;
    if (reconnect_timer_) reconnect_timer_->stop();
  }
  const QString label = silent_                 ? tr("受信停止・再接続中")
                        : stale_cells == 0      ? tr("ライブ")
                        : stale_cells < watched ? tr("ライブ（一部停止）")
                                                : tr("ライブ（映像停止）");
  if (connection_label_->text() != label) connection_label_->setText(label);
  update_status();
}

void MainView::clear_staleness() {
  for (size_t c = 0; c < cells_.size(); ++c) {
    cells_[c].picture->set_stale(false);
    // The wait starts again when live pictures are shown again.
    picture_age_[c].start();
  }
  silence_.start();
  silent_ = false;
  reconnect_attempts_ = 0;
  if (reconnect_timer_) reconnect_timer_->stop();
}

// Asks the recorder again to send its stream, as at connecting, and plans
// the next attempt at twice the wait. A recorder that is back starts
// sending; its first picture ends the silent state.
void MainView::try_reconnect() {
  if (!receiving_ || !silent_ || !live_shown()) return;
  if (busy_) {
    reconnect_timer_->start(std::max(50, timing().reconnect_first_ms / 4));
    return;
  }
  busy_ = true;
  ++reconnect_attempts_;
  update_status();
  const RecorderEntry* entry = connections_.entry(entry_number_);
  if (entry && slots_[0] == 0) {
    char reply[128] = {};
    const QByteArray address = address_text_.toUtf8();
    if (lib::brin_connect(0, address.constData(), login_.c_str(), reply) >= 0) {
      slots_[0] = 1;
      if (lib::brin_udp_count(0, 0, entry->sp, entry->audio) >= 0) lib::brin_udp_dispmode(0, 0, display_bits());
      lib::brin_unconnect(0, 0, 0, 0);
      slots_[0] = 0;
    }
  }
  long wait = timing().reconnect_first_ms;
  for (int i = 1; i < reconnect_attempts_ && wait < timing().reconnect_last_ms; ++i) wait *= 2;
  wait = std::min<long>(wait, timing().reconnect_last_ms);
  if (receiving_ && silent_) reconnect_timer_->start(static_cast<int>(wait));
  busy_ = false;
}

// ---- Stills

// The still button is there whenever a cell can show a picture: live,
// playback and saved stills, in the four-picture view as well.
void MainView::update_still_button() {
  const bool available = live_shown() || playback_mode_ != kNoPlayback || back_button_->isEnabled();
  still_button_->setVisible(available);
  still_button_->setEnabled(available);
  choose_still_cell(chosen_cell_);
}

void MainView::choose_still_cell(int cell) {
  if (cell < 0 || cell > 3) return;
  chosen_cell_ = cell;
  // The frame marks the cell in the four-picture view while there is a
  // picture to save.
  const bool marked = split_mode_ == 4 && !still_button_->isHidden();
  for (int i = 0; i < 4; ++i) cells_[static_cast<size_t>(i)].picture->set_chosen(marked && i == cell);
}

int MainView::still_cell() const { return split_mode_ >= 0 && split_mode_ <= 3 ? split_mode_ : chosen_cell_; }

QImage MainView::still_picture() const { return cells_[static_cast<size_t>(still_cell())].picture->image(); }

// The picture's time: for a live picture the recorder's clock as it came,
// for a played one the time shown.
std::optional<uint32_t> MainView::still_time() const {
  if (live_shown()) return picture_time_[static_cast<size_t>(still_cell())];
  return parse_shown_time(time_label_->text());
}

MainView::StillFacts MainView::still_facts() const {
  const int cell = still_cell();
  const int code = cell_camera_code_[static_cast<size_t>(cell)];
  StillFacts facts;
  facts.source = QStringLiteral("live");
  int camera = cell + 1;
  if (playback_mode_ == kDiskPlayback) {
    facts.source = QStringLiteral("disk playback");
  } else if (playback_mode_ == kSavedDataPlayback || back_button_->isEnabled()) {
    facts.source = QStringLiteral("saved data");
  } else {
    if (const RecorderEntry* e = receiving_ ? connections_.entry(entry_number_) : nullptr)
      facts.recorder = QString::fromStdString(e->name);
    if (code >= 1 && code <= 32) camera = (code >= 17 ? code - 17 : code - 1) + 1;
  }
  facts.time = QStringLiteral("unknown");
  if (const std::optional<uint32_t> t = still_time()) {
    const vp::RecTime r = vp::rec_time_from_seconds(*t);
    facts.time =
        QString::asprintf("%04d-%02d-%02d %02d:%02d:%02d", 2000 + r.year, r.month, r.day, r.hour, r.minute, r.second);
  }
  facts.camera = QStringLiteral("%1 (%2)").arg(camera).arg(cells_[static_cast<size_t>(cell)].label->text().trimmed());
  return facts;
}

QString MainView::still_comment() const {
  const StillFacts f = still_facts();
  QString text = QStringLiteral("camera %1; time %2; %3").arg(f.camera, f.time, f.source);
  if (!f.recorder.isEmpty()) text += QStringLiteral("; recorder ") + f.recorder;
  return text;
}

}  // namespace velmora::viewer
