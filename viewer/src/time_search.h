// The time search window "TimeSearch", opened once a recorder disk has been
// opened for playback: the recordings and alarm recordings of the disk, a
// month calendar on which the days with recordings can be marked, and the
// time to search. Playback starts at the searched time or at a listed
// recording; the window then puts the main window into disk playback and
// closes.
#pragma once
#include <array>
#include <optional>
#include <utility>

#include "month_calendar.h"
#include "sub_window.h"

class QListWidget;
class QListWidgetItem;
class QScrollBar;

namespace velmora::viewer {

class TimeSearch : public SubWindow {
  Q_OBJECT
 public:
  explicit TimeSearch(MainView& main);

  // The search button: the calendar's day at the time of the boxes.
  void search();
  // Marks the days with recordings and draws the calendar again.
  void mark_recorded_days();

 private:
  // A search after the newest recording offers its last seconds.
  static constexpr uint32_t kTailSeconds = 10;

  // The start of the oldest and the end of the newest listed recording.
  std::optional<std::pair<uint32_t, uint32_t>> recorded_range() const;
  void read_lists();
  // A line picked from one of the lists plays from its time; an alarm's
  // line also starts the disk at once and locks the alarm list.
  enum class PickedList { kRecordings, kAlarms };
  void pick(QListWidgetItem* item, PickedList list);
  void start_playback();

  RecordedDays recorded_;
  MonthCalendar* calendar_ = nullptr;
  std::array<TimeBox*, 3> boxes_{};
  std::array<QScrollBar*, 3> sliders_{};
  QListWidget* recording_list_ = nullptr;
  QListWidget* alarm_list_ = nullptr;
};

}  // namespace velmora::viewer
