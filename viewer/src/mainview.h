// The main window `mainview`: the recorder list, live view of four cameras
// (or one enlarged) with the recorder's clock and status, and the playback of
// an attached recorder disk or of data saved on the PC.
//
// Every control carries its name as its object name so that tests and the
// other windows find it: "List1", "Label5", "lblTime", "Command3" ...; the
// members of a control array are named with an underscore and the index,
// "Image1_0" to "Image1_4", "Label4_0" to "Label4_3", "Command8_0" to
// "Command8_3", "Command14_0" to "Command14_7". The two timers are QTimer
// children named "tmrTokei" (clock and status) and "Timer1" (picture refresh
// of playback).
#pragma once
#include <QElapsedTimer>
#include <QFont>
#include <QImage>
#include <QPalette>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>
#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "poll_round.h"
#include "program_folder.h"
#include "settings.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QListWidget;
class QPushButton;
class QScrollBar;
class QTimer;

namespace velmora::viewer {

// One picture cell: shows its picture stretched to the cell.
class PictureBox : public QWidget {
  Q_OBJECT
 public:
  explicit PictureBox(QWidget* parent = nullptr);
  // Loads a picture file (BMP or JPEG, told apart by content, whatever the
  // name says). When the file cannot be read the previous picture stays.
  bool load(const QString& path);
  // As load, but a file that holds the same bytes as the last one loaded
  // leaves the picture as it is (false): a picture polled often is decoded
  // and drawn only when it is new.
  bool load_if_new(const QString& path);
  void set_image(const QImage& image, const QString& source = QString());
  const QImage& image() const { return image_; }
  // The file the picture came from.
  const QString& source() const { return source_; }
  // A picture that no longer follows its camera is drawn dimmed, with the
  // note (when the last picture came) over it.
  void set_stale(bool stale, const QString& note = QString());
  bool stale() const { return stale_; }
  const QString& stale_note() const { return stale_note_; }
  // A frame marks the cell the still button saves.
  void set_chosen(bool chosen);

 signals:
  void clicked();
  void double_clicked();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;

 private:
  QImage image_;
  QString source_;
  QByteArray loaded_bytes_;  // the file content load_if_new last took
  bool stale_ = false;
  QString stale_note_;
  bool chosen_ = false;
};

// Where the main window goes on a screen, all in twips.
struct ScreenPlacement {
  bool fits = true;  // false: the screen is too small for the window
  int top = 0;
  int left = 0;
  int stored_top = 0;  // where the other windows open
  int stored_left = 0;
};
ScreenPlacement place_main_window(int screen_width, int screen_height, int window_width, int window_height);

// The time shown in lblTime (either of its two forms) as RecSeconds, or
// nothing when the text holds no complete date and time.
std::optional<uint32_t> parse_shown_time(const QString& text);

// lblTime's text for a live frame time and for a played picture's time.
QString live_time_text(int year, int month, int day, int hour, int minute, int second);
QString played_time_text(uint32_t rec_seconds);

class MainView : public QWidget {
  Q_OBJECT
 public:
  // What playback plays: nothing (live view, saved stills), data saved on
  // the PC, or the attached recorder disk.
  enum PlaybackMode : int { kNoPlayback = 0, kSavedDataPlayback = 1, kDiskPlayback = 2 };
  // The playback buttons Command14_0 to Command14_7, left to right.
  enum class PlaybackButton {
    kRecordingStart,  // the start of the recording on screen (disk only)
    kFastRewind,      // back through the key pictures, faster each press
    kReversePlay,     // plays backwards
    kPlay,
    kFastForward,    // forward through the key pictures, faster each press
    kNextRecording,  // the start of the next recording (disk only)
    kStop,           // pauses on the picture shown
    kFromStart,      // the start of the recording or the copy, playing
  };

  // The window's designed size, in twips; it is also its smallest size.
  static constexpr int kFormWidth = 15300;
  static constexpr int kFormHeight = 11000;
  // The picture area of the designed layout (the cells and their labels),
  // left of the control column and above the bottom bar.
  static constexpr int kPictureAreaWidth = 12950;
  static constexpr int kPictureAreaHeight = 9450;
  // The polls of the every-picture rate: the live cameras every 5 ms (a
  // camera at 30 pictures a second sends one every 33 ms, and the library
  // keeps only the newest), the played pictures every 10 ms.
  static constexpr int kEveryPictureLiveMs = 5;
  static constexpr int kEveryPicturePlaybackMs = 10;

  struct StartOptions {
    QString program_folder;
    // The screen size in pixels to check against; empty: the primary screen.
    QSize screen_size;
  };

  // The other windows of the viewer plug in here; a hook that is not set
  // means the window does not exist in this build.
  struct WindowHooks {
    std::function<void()> open_time_search;
    std::function<void()> open_disk_data_search;
    std::function<void()> open_saved_picture_search;
    std::function<void()> open_data_copy;
    std::function<void()> open_picture_save;
    std::function<void()> close_picture_save_and_copy;
    std::function<void()> close_searches;
    std::function<void()> close_all;
  };

  explicit MainView(QWidget* parent = nullptr);
  ~MainView() override;

  // The start sequence; false when the program must end (the screen is too
  // small; the message has been shown).
  bool startup(const StartOptions& options);
  // The stops of the program's end: playback, the attached disk, the live
  // stream and the decoders. Runs once.
  void shutdown();

  void set_window_hooks(WindowHooks hooks) { hooks_ = std::move(hooks); }

  // Live view.
  void connect_list_row(int row);  // as a double click on List1's row
  void disconnect_live();          // Command16
  void telnet_on();                // Command10
  // What the cells show, in the status line lblStatus: live, disk playback,
  // copied data or saved stills, and for playback whether it plays, at
  // which speed, or is paused.
  QString status_text() const;
  // The name a still of the picture shown is offered under:
  // <recorder>_<camera>_<yyyymmdd-hhmmss> (the recorder's list name, "HDD"
  // or "copy" for played data; the cell's camera; the picture's time, else
  // the time of day), with characters a file name cannot hold replaced.
  QString suggested_still_name() const;
  void update_status();
  // The cell the still button saves: the enlarged one, else the one last
  // clicked; its picture at full size, and the comment the saved file
  // carries (recorder, camera and the picture's time).
  int still_cell() const;
  QImage still_picture() const;
  QString still_comment() const;
  // What a still picture shows, field by field (for a PNG file's text).
  struct StillFacts {
    QString camera;  // "3 (Store)"
    QString time;    // "2026-12-07 09:03:12", or "unknown"
    QString source;  // "live", "disk playback" or "saved data"
    QString recorder;
  };
  StillFacts still_facts() const;
  // Live view: whether a cell's picture has stopped following its camera,
  // whether the whole recorder has gone silent, and how often the window
  // has tried to start the stream again since.
  bool cell_stale(int cell) const;
  bool recorder_silent() const { return silent_; }
  int reconnect_attempts() const { return reconnect_attempts_; }
  void show_single(int cell);  // Command8(cell)
  void show_four();            // Command9
  // F11: the whole screen for the pictures (the controls give way; Esc or
  // F11 again brings them back).
  void toggle_full_screen();
  bool pictures_full_screen() const { return pictures_full_screen_; }
  // The factors the layout is drawn with: the controls' and the pictures'
  // (1 at the designed size).
  double control_scale() const { return control_scale_; }
  double picture_scale() const { return picture_scale_; }

  // Playback (the other windows use these).
  void playback_button(PlaybackButton button);  // a press of Command14
  void enter_disk_playback();                   // the main window into attached-disk playback
  // The main window into playback of a copy that playfile has opened: the
  // position bar spans the copy's first to last GOP time, and the start
  // pictures show until decoded pictures arrive.
  void enter_saved_playback();
  void leave_playback();    // Command7
  void refresh_pictures();  // one tick of Timer1
  void show_start_pictures();
  // "cmdDiskImage", and the choice offered when no drive holds a recorder
  // disk: a file dialog for an image of one (or a disk device), which
  // open_disk_image then opens in the place of the drives.
  void choose_disk_image();
  // Opens the image at path as the recorder disk and goes on as
  // "HDDデータ再生" does with a drive. A file that is not a recorder disk
  // image gets a message and leaves the disk opened before as it was; an
  // empty path (the dialog cancelled) does nothing.
  void open_disk_image(const QString& path);
  // Picture cell 0 to 3: a picture file, or the start picture.
  void load_cell_picture(int cell, const QString& path);
  void show_start_picture(int cell);
  void set_file_range(uint32_t base, uint32_t end) {
    file_base_ = base;
    file_end_ = end;
  }

  // State, for the other windows and for tests.
  // The display rate beside "High": every new picture is shown as it comes
  // (live and playback), not on the fixed tick; sn.ini's "EveryPicture".
  bool every_picture() const { return every_picture_; }
  const QString& program_folder() const { return program_folder_; }
  // Where the per-picture files are written (the libraries' current
  // folder): a folder in memory, linked from the program folder; the
  // program folder itself when there is none.
  const QString& picture_folder() const { return picture_folder_.path; }
  bool pictures_in_memory() const { return picture_folder_.in_memory; }
  const ConnectionList& connection_list() const { return connections_; }
  QPoint stored_placement() const;  // in pixels
  // Where the pictures and the controls are, in global pixels: what the
  // other windows keep clear of.
  std::vector<QRect> occupied_rects() const;
  bool receiving() const { return receiving_ != 0; }
  int selected_entry() const { return selected_entry_; }
  int split_mode() const { return split_mode_; }
  PlaybackMode playback_mode() const { return playback_mode_; }
  bool disk_open() const { return disk_open_; }
  int fast_forward_level() const { return ff_level_; }
  int fast_rewind_level() const { return fr_level_; }
  // Whether pictures the channel still shows after playback went idle are
  // being followed.
  bool following_pictures() const { return draining_; }
  const std::array<QString, 17>& cell_names() const { return cell_names_; }
  const std::array<uint8_t, 17>& picture_shown() const { return picture_shown_; }
  const std::vector<std::pair<int, int>>& camera_table() const { return camera_table_; }
  const QString& stream_address() const { return stream_address_; }
  int32_t stream_port() const { return stream_port_; }
  bool audio_device() const { return audio_device_; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  enum class Step { kForward, kBack };
  enum class StreamStop {
    kDisconnect,  // pausing after each step, back to the not-connected state
    kProgramEnd,  // at once, the window left as it is
  };
  enum class DisplayRate { kNormal, kHigh };

  struct Cell {
    QLabel* label = nullptr;
    PictureBox* picture = nullptr;
    uint32_t played_serial = 0;  // the library's number of the played picture shown
  };

  void build_controls();
  void build_shortcuts();
  // The layout for the window's size: every control at its designed
  // rectangle times the control factor, the pictures filling what is left.
  void relayout();
  void record_design(QWidget* container);
  // A rectangle of the picture area (twips of the designed layout) as it is
  // drawn now.
  QRect picture_rect(int left, int top, int width, int height) const;
  void apply_cells();
  void on_cell_double_clicked(int cell);
  void on_escape();
  void on_play_pause_key();
  void on_step_key(Step direction);
  void on_camera_key(int cell);
  // The cells show the live pictures: connected, and no playback or saved
  // stills entered from the menu.
  bool live_shown() const;
  void apply_four_split();
  void update_cell_labels();
  DisplayRate chosen_display_rate() const;
  void apply_display_rate(DisplayRate rate);
  void on_display_rate_clicked();
  void on_every_picture_clicked();
  void apply_every_picture(bool on);
  // The picture timer of the every-picture rate: the shown cameras' new
  // live pictures as they come.
  void on_picture_tick();
  void on_volume_changed(int value);
  void on_mute_toggled();
  void setup_audio_device();
  void read_connection_list();
  void release_picture_folder();

  // Live view.
  void connect_entry(int row);
  void switch_over(int row);
  // Closes the open control connections, pausing after each (none at the
  // program's end).
  void close_open_slots(int pause_ms = 1000);
  void stop_stream(StreamStop stop);
  void set_not_connected_state();
  void on_clock_tick();
  int32_t display_bits() const;
  void reset_cell_names();
  QString live_picture_path(int camera, int source) const;
  // Polls the shown cells' cameras (those in the status mask) and shows
  // each new picture: in memory from the library, else through its file.
  void poll_live_pictures(uint32_t mask);
  // One shown camera's poll in a round of live polls.
  struct LivePoll {
    int cell = 0, camera = 0, source = 0;
    int32_t result = 0;  // the library's answer
    QImage image;        // the new picture, when it gave one
  };
  static void fetch_live_picture(LivePoll& poll, std::vector<uint8_t>& rgb);
  bool show_live_picture(const LivePoll& poll);
  // Honest live view: the cells whose pictures stopped are dimmed and say
  // since when; a recorder that sends nothing at all is asked again, at
  // growing intervals, to start its stream.
  QString live_status_text() const;
  void watch_live_pictures();
  void clear_staleness();
  void try_reconnect();
  void update_still_button();
  void choose_still_cell(int cell);
  std::optional<uint32_t> still_time() const;

  // Playback.
  void open_recorder_disk();
  void enter_menu_source(QPushButton* pressed);
  void play();
  void start_from_shown_picture();
  void fast_play(Step direction);
  void reset_playback_speeds();
  // One frame step while paused, forward or back, and its picture.
  void step(Step direction);
  void show_stepped_picture(uint32_t shown_before);
  void show_decoded_pictures(int32_t count, int32_t first, int32_t second);
  // Shows the played picture of slot 1 to 4 in its cell when it is new.
  void show_played_slot(int slot);
  void show_played(int32_t count, int32_t first, int32_t second, uint32_t time);
  bool decoder_failed();
  void drain_pictures();
  void go_to_current_recording_start();
  void go_to_next_recording();
  void back_to_start_and_play();
  std::optional<uint32_t> current_recording_start() const;
  std::optional<uint32_t> next_recording_start() const;
  void on_position_dragged(int value);
  void on_position_changed(int value);
  void restore_cursor();
  void set_wait_cursor();

  WindowHooks hooks_;
  QString program_folder_;
  PictureFolder picture_folder_;
  QString start_picture_;
  ConnectionList connections_;
  bool started_ = false;
  bool shut_down_ = false;
  int stored_top_ = 0;
  int stored_left_ = 0;
  int32_t ovo_open_result_ = 0;
  int32_t decode_init_result_ = 0;
  int model_ = 0;
  bool audio_device_ = false;
  int cursor_depth_ = 0;

  // Layout.
  struct Designed {
    QWidget* widget;
    QRect rect;  // pixels at the designed size, in its parent
  };
  QWidget* side_ = nullptr;    // the control column at the right
  QWidget* bottom_ = nullptr;  // the bar under the pictures
  std::vector<Designed> designed_;
  QFont base_font_;
  QPalette base_palette_;
  double control_scale_ = 1;
  double picture_scale_ = 1;
  QPoint picture_origin_;
  bool pictures_full_screen_ = false;
  // What playback was asked to do last: false after a stop, at the end of
  // the data and before anything played.
  bool playing_ = false;
  bool reverse_ = false;  // the last play was backwards

  // Controls, each with its object name.
  std::array<Cell, 4> cells_{};
  PictureBox* logo_ = nullptr;                // "Image1_4"
  QListWidget* recorder_list_ = nullptr;      // "List1"
  QLabel* connection_label_ = nullptr;        // "Label5"
  QPushButton* disconnect_button_ = nullptr;  // "Command16"
  // The menu: the playback sources, the copy, the still and the way back.
  QGroupBox* menu_frame_ = nullptr;               // "Frame2"
  QPushButton* disk_playback_button_ = nullptr;   // "Command3"
  QPushButton* disk_image_button_ = nullptr;      // "cmdDiskImage"
  QPushButton* saved_video_button_ = nullptr;     // "Command4"
  QPushButton* saved_stills_button_ = nullptr;    // "Command5"
  QPushButton* data_copy_button_ = nullptr;       // "Command1"
  QPushButton* still_button_ = nullptr;           // "Command6"
  QPushButton* back_button_ = nullptr;            // "Command7"
  QPushButton* telnet_button_ = nullptr;          // "Command10"
  QGroupBox* display_rate_frame_ = nullptr;       // "Frame4"
  QCheckBox* high_rate_check_ = nullptr;          // "Check2"
  QCheckBox* every_picture_check_ = nullptr;      // "Check3": every picture
  QPushButton* exit_button_ = nullptr;            // "Command15"
  QLabel* time_label_ = nullptr;                  // "lblTime"
  QLabel* status_label_ = nullptr;                // "lblStatus"
  QGroupBox* camera_frame_ = nullptr;             // "Frame14"
  std::array<QPushButton*, 4> camera_buttons_{};  // "Command8_0" to "Command8_3"
  QPushButton* four_split_button_ = nullptr;      // "Command9"
  QGroupBox* playback_frame_ = nullptr;           // "Frame5"
  QLabel* playback_caption_ = nullptr;            // "Label7"
  // "Command14_0" to "Command14_7", left to right.
  std::array<QPushButton*, 8> playback_buttons_{};
  QLabel* speed_label_ = nullptr;        // "Label1": the fast play speed
  QGroupBox* position_frame_ = nullptr;  // "Frame1"
  QScrollBar* position_bar_ = nullptr;   // "file_pos"
  QGroupBox* sound_frame_ = nullptr;     // "Frame11"
  QLabel* sound_image_ = nullptr;        // "imgSound"
  QScrollBar* volume_bar_ = nullptr;     // "HScroll2"
  QCheckBox* mute_check_ = nullptr;      // "Check1"
  QTimer* clock_timer_ = nullptr;        // "tmrTokei": clock and status
  QTimer* refresh_timer_ = nullptr;      // "Timer1": playback pictures
  QTimer* picture_timer_ = nullptr;      // "tmrPicture": live pictures as they come

  // Live state.
  int selected_entry_ = -99;
  int receiving_ = 0;  // 0, or the received list row + 1
  // Per control connection number: 0 closed, else clock ticks since it
  // was opened, plus one (an idle one is closed when it grows old).
  std::array<int, 11> slots_{};
  QString address_text_;
  std::string login_;
  std::array<int32_t, 4> octets_{};
  int entry_number_ = 0;
  std::vector<std::pair<int, int>> camera_table_;
  QString stream_address_;
  int32_t stream_port_ = 0;
  long picture_counter_ = 0;
  long tick_counter_ = 0;
  bool busy_ = false;
  uint32_t status_mask_ = 0;
  int split_mode_ = 4;
  std::array<uint8_t, 17> picture_shown_{};
  std::array<QString, 17> cell_names_{};
  // Camera code of each cell: 0 none, 1 to 16 camera 0 to 15 of source 0,
  // 17 to 32 camera 0 to 15 of source 1.
  std::array<int, 4> cell_camera_code_{1, 2, 3, 4};
  // Since when each cell's live picture is unchanged, and the recorder
  // time (else the time of day) that picture came at.
  std::array<QElapsedTimer, 4> picture_age_{};
  std::array<std::optional<uint32_t>, 4> picture_time_{};
  std::array<QString, 4> picture_clock_{};
  QElapsedTimer silence_;  // since the last new picture of any cell
  bool silent_ = false;
  int reconnect_attempts_ = 0;
  QTimer* reconnect_timer_ = nullptr;
  int chosen_cell_ = 0;

  // Playback state.
  PlaybackMode playback_mode_ = kNoPlayback;
  bool disk_open_ = false;
  int32_t disk_size_ = 0;
  // Where the open disk came from: a drive number, or an image's path.
  int disk_drive_ = 0;
  QString disk_image_;
  DisplayRate display_rate_ = DisplayRate::kHigh;
  bool every_picture_ = false;
  // The threads that poll the shown cameras side by side, and the memory
  // each of them takes a live picture into, as the library hands it over.
  PollRound poll_round_;
  std::vector<std::vector<uint8_t>> live_rgb_;
  std::vector<uint8_t> played_rgb_;  // a played picture as the library hands it over
  int ff_level_ = 0;
  int fr_level_ = 0;
  uint32_t file_base_ = 0;
  uint32_t file_end_ = 0;
  // The engine was found idle by the last refresh.
  bool playback_idle_ = false;
  // The start pictures show until the first decoded pictures arrive.
  bool start_pictures_pending_ = false;
  bool position_by_program_ = false;
  // After playback went idle: the channel's queued pictures are still shown.
  bool draining_ = false;
  QElapsedTimer drain_clock_;
  uint32_t last_played_time_ = 0;
  // A search or the position bar has just put the reading where playback
  // is to start: the next play starts there, not at the picture on screen.
  bool position_set_ = false;
};

}  // namespace velmora::viewer
