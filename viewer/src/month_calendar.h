// The month calendar of the time search and data copy windows, and the time
// boxes beside it.
//
// A calendar is a frame with 42 day buttons in six rows of seven days
// starting on Sunday, a month list, a month and a year spinner, the year and
// the weekday names. Its controls are named "cmd_day<suffix>_0" to
// "cmd_day<suffix>_41", "cmb_month<suffix>", "vsc_month<suffix>",
// "vsc_year<suffix>", "lbl_year<suffix>", "lbl_year1<suffix>" and
// "lbl_week<suffix>_0" to "_6"; the data copy window's end calendar has the
// suffix "End". The selected day is yellow when it holds recordings and red
// when not; other days with recordings are white.
#pragma once
#include <QGroupBox>
#include <QLineEdit>
#include <array>
#include <cstdint>
#include <vector>

class QComboBox;
class QLabel;
class QPushButton;
class QScrollBar;

namespace velmora::viewer {

// Which days hold recordings: a mark per day of the years a recording's time
// can name (2000 to 2255).
class RecordedDays {
 public:
  static constexpr int kFirstYear = 2000;
  static constexpr int kLastYear = 2255;

  void clear() { std::fill(days_.begin(), days_.end(), 0); }
  void mark(int year, int month, int day);
  bool marked(int year, int month, int day) const;
  // Marks every day from the date of start to the date of end (RecSeconds);
  // only the start's day when end lies before it.
  void mark_span(uint32_t start, uint32_t end);

 private:
  static int index(int year, int month, int day);
  std::vector<uint8_t> days_ = std::vector<uint8_t>((kLastYear - kFirstYear + 1) * 12 * 31, 0);
};

class MonthCalendar : public QGroupBox {
  Q_OBJECT
 public:
  // Colours of the day buttons.
  static const QColor kSelectedWithRecordings;  // yellow
  static const QColor kSelectedWithout;         // red
  static const QColor kWithRecordings;          // white

  MonthCalendar(const QString& caption, const QString& suffix, const RecordedDays* days, QWidget* parent);

  // Shows the month of the date and selects its day (the day is kept within
  // the month; the year within RecordedDays' years).
  void set_date(int year, int month, int day);
  int year() const { return year_; }
  int month() const { return month_; }
  int day() const { return day_; }
  // Draws the month again (after the recorded days changed).
  void redraw();

  QPushButton* day_button(int i) const { return days_[static_cast<size_t>(i)]; }

 signals:
  // The user chose another day, month or year.
  void date_changed();

 private:
  void on_month_spin(int value);
  void choose(int year, int month, int day);

  const RecordedDays* recorded_;
  int year_ = 2000;
  int month_ = 1;
  int day_ = 1;
  std::array<QPushButton*, 42> days_{};
  QComboBox* month_box_ = nullptr;
  QScrollBar* month_bar_ = nullptr;
  QScrollBar* year_bar_ = nullptr;
  QLabel* year_label_ = nullptr;
};

// A two-digit time box (hour, minute or second): digits and backspace pass;
// Enter and "." move to the next control as Tab does; other characters are
// dropped; a value above the maximum becomes the maximum; leaving the box
// writes the value with two digits (an empty box becomes "00"); entering it
// selects its text.
class TimeBox : public QLineEdit {
  Q_OBJECT
 public:
  TimeBox(const char* name, int maximum, QWidget* parent);
  // The value as a whole number (0 for an empty box).
  int value() const;
  // Writes a value with two digits.
  void set_value(int v);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  void on_edited(const QString& text);
  int maximum_;
};

}  // namespace velmora::viewer
