// The recorded data copy window "RDataCopy": copies a span of the attached
// recorder disk, chosen on a start and an end calendar with their times,
// into a new folder rec00 to rec99 of a chosen destination, and follows the
// copy's progress until it ends. When a video file format is chosen, the
// copy is then written as video files that play anywhere (by velmora-disk,
// run beside the viewer), with their custody record, in the same folder.
#pragma once
#include <array>

#include "month_calendar.h"
#include "sub_window.h"

class QFrame;
class QLabel;
class QComboBox;
class QListWidget;
class QProcess;
class QPushButton;
class QTimer;

namespace velmora::viewer {

// The message for a copy status that ends the copy; nothing while the copy
// runs (0 to 100) or for a value the library does not report.
std::optional<QString> copy_end_message(int32_t status);

class RDataCopy : public SubWindow {
  Q_OBJECT
 public:
  // At most this many copies (rec00 to rec99) in one destination.
  static constexpr int kMaxCopies = 100;

  explicit RDataCopy(MainView& main);

  void mark_recorded_days();  // cmdColor
  void start_copy();          // cmdCopyStart
  void stop_copy();           // cmdCopyStop
  void poll_progress();       // one tick of Timer2
  bool copying() const;

  // The formats the copy can be kept in, in the order of "cboFormat".
  enum class CopyFormat { kRecorder = 0, kMatroska = 1, kMp4 = 2 };

 private:
  void update_span_minutes();
  void set_controls_enabled(bool enabled);
  void show_progress(int percent);
  void start_video_export();
  void read_export_progress();
  void export_finished(int exit_code, bool crashed);
  void end_copy(const QString& message);
  uint32_t start_time() const;
  uint32_t end_time() const;

  RecordedDays recorded_;
  MonthCalendar* start_calendar_ = nullptr;
  MonthCalendar* end_calendar_ = nullptr;
  std::array<TimeBox*, 3> start_boxes_{};
  std::array<TimeBox*, 3> end_boxes_{};
  QLabel* span_minutes_label_ = nullptr;    // "lbl_min"
  QGroupBox* destination_frame_ = nullptr;  // "Frame1"
  QLineEdit* folder_box_ = nullptr;         // "txtF"
  FolderChooser* folders_ = nullptr;
  QLineEdit* new_folder_box_ = nullptr;        // "Text1"
  QPushButton* make_folder_button_ = nullptr;  // "Command1"
  QPushButton* mark_days_button_ = nullptr;    // "cmdColor"
  QPushButton* copy_start_button_ = nullptr;   // "cmdCopyStart"
  QPushButton* copy_stop_button_ = nullptr;    // "cmdCopyStop"
  QFrame* progress_bar_ = nullptr;             // "Shape1"
  QLineEdit* progress_text_ = nullptr;         // "Text2"
  QLabel* progress_caption_ = nullptr;         // "Label10"
  QListWidget* play_list_ = nullptr;           // "List1"
  QTimer* progress_timer_ = nullptr;           // "Timer2"
  QComboBox* format_box_ = nullptr;            // "cboFormat"
  QProcess* export_process_ = nullptr;
  QString copy_folder_;
};

}  // namespace velmora::viewer
