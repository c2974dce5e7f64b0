#include "month_calendar.h"

#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QTimer>
#include <algorithm>

#include "dates.h"
#include "profile.h"
#include "ui_support.h"
#include "velmora/rectime.h"

namespace velmora::viewer {
namespace {

QRect twips(int left, int top, int width, int height) { return QRect(px(left), px(top), px(width), px(height)); }

// The calendar's texts, translated where they are shown.
constexpr const char* kWeekdays[7] = {QT_TRANSLATE_NOOP("velmora::viewer::MonthCalendar", "日"),
                                      QT_TRANSLATE_NOOP("velmora::viewer::MonthCalendar", "月"),
                                      QT_TRANSLATE_NOOP("velmora::viewer::MonthCalendar", "火"),
                                      QT_TRANSLATE_NOOP("velmora::viewer::MonthCalendar", "水"),
                                      QT_TRANSLATE_NOOP("velmora::viewer::MonthCalendar", "木"),
                                      QT_TRANSLATE_NOOP("velmora::viewer::MonthCalendar", "金"),
                                      QT_TRANSLATE_NOOP("velmora::viewer::MonthCalendar", "土")};
constexpr const char* kMonths[12] = {QT_TRANSLATE_NOOP("velmora::viewer::MonthCalendar", "1月"),
                                     QT_TRANSLATE_NOOP("velmora::viewer::MonthCalendar", "2月"),
                                     QT_TRANSLATE_NOOP("velmora::viewer::MonthCalendar", "3月"),
                                     QT_TRANSLATE_NOOP("velmora::viewer::MonthCalendar", "4月"),
                                     QT_TRANSLATE_NOOP("velmora::viewer::MonthCalendar", "5月"),
                                     QT_TRANSLATE_NOOP("velmora::viewer::MonthCalendar", "6月"),
                                     QT_TRANSLATE_NOOP("velmora::viewer::MonthCalendar", "7月"),
                                     QT_TRANSLATE_NOOP("velmora::viewer::MonthCalendar", "8月"),
                                     QT_TRANSLATE_NOOP("velmora::viewer::MonthCalendar", "9月"),
                                     QT_TRANSLATE_NOOP("velmora::viewer::MonthCalendar", "10月"),
                                     QT_TRANSLATE_NOOP("velmora::viewer::MonthCalendar", "11月"),
                                     QT_TRANSLATE_NOOP("velmora::viewer::MonthCalendar", "12月")};

}  // namespace

// ---- RecordedDays

int RecordedDays::index(int year, int month, int day) {
  if (year < kFirstYear || year > kLastYear || month < 1 || month > 12 || day < 1 || day > 31) return -1;
  return ((year - kFirstYear) * 12 + (month - 1)) * 31 + (day - 1);
}

void RecordedDays::mark(int year, int month, int day) {
  const int i = index(year, month, day);
  if (i >= 0) days_[static_cast<size_t>(i)] = 1;
}

bool RecordedDays::marked(int year, int month, int day) const {
  const int i = index(year, month, day);
  return i >= 0 && days_[static_cast<size_t>(i)] != 0;
}

void RecordedDays::mark_span(uint32_t start, uint32_t end) {
  const vp::RecTime a = vp::rec_time_from_seconds(start);
  const vp::RecTime b = vp::rec_time_from_seconds(end);
  int y = 2000 + a.year, m = a.month, d = std::min<int>(a.day, days_in_month(2000 + a.year, a.month));
  const int ey = 2000 + b.year, em = b.month, ed = std::min<int>(b.day, days_in_month(2000 + b.year, b.month));
  mark(y, m, d);
  // Day by day up to the end's date; the years bound the walk.
  while (y < ey || (y == ey && (m < em || (m == em && d < ed)))) {
    if (++d > days_in_month(y, m)) {
      d = 1;
      if (++m > 12) {
        m = 1;
        ++y;
      }
    }
    mark(y, m, d);
  }
}

// ---- MonthCalendar

const QColor MonthCalendar::kSelectedWithRecordings(255, 255, 0);
const QColor MonthCalendar::kSelectedWithout(255, 0, 0);
const QColor MonthCalendar::kWithRecordings(255, 255, 255);

MonthCalendar::MonthCalendar(const QString& caption, const QString& suffix, const RecordedDays* days, QWidget* parent)
    : QGroupBox(caption, parent), recorded_(days) {
  setObjectName(QStringLiteral("frm_calendar") + suffix);

  year_label_ = new QLabel(this);
  year_label_->setObjectName(QStringLiteral("lbl_year") + suffix);
  year_label_->setGeometry(twips(150, 330, 700, 330));
  year_label_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  auto* year_unit = new QLabel(tr("年"), this);
  year_unit->setObjectName(QStringLiteral("lbl_year1") + suffix);
  year_unit->setGeometry(twips(880, 330, 300, 330));
  year_bar_ = new QScrollBar(Qt::Vertical, this);
  year_bar_->setObjectName(QStringLiteral("vsc_year") + suffix);
  year_bar_->setGeometry(twips(1180, 270, 240, 450));
  year_bar_->setRange(RecordedDays::kFirstYear, RecordedDays::kLastYear);
  // The upper arrow counts up, as on a spinner.
  year_bar_->setInvertedAppearance(true);
  connect(year_bar_, &QScrollBar::valueChanged, this, [this](int y) { choose(y, month_, day_); });

  month_box_ = new QComboBox(this);
  month_box_->setObjectName(QStringLiteral("cmb_month") + suffix);
  month_box_->setGeometry(twips(1600, 300, 1000, 390));
  for (const char* month : kMonths) month_box_->addItem(tr(month));
  connect(month_box_, &QComboBox::currentIndexChanged, this, [this](int i) {
    if (i >= 0) choose(year_, i + 1, day_);
  });
  month_bar_ = new QScrollBar(Qt::Vertical, this);
  month_bar_->setObjectName(QStringLiteral("vsc_month") + suffix);
  month_bar_->setGeometry(twips(2620, 270, 240, 450));
  // 0 and 13 step into the year before and after.
  month_bar_->setRange(0, 13);
  month_bar_->setInvertedAppearance(true);
  connect(month_bar_, &QScrollBar::valueChanged, this, &MonthCalendar::on_month_spin);

  for (int w = 0; w < 7; ++w) {
    auto* l = new QLabel(tr(kWeekdays[w]), this);
    l->setObjectName(QStringLiteral("lbl_week%1_%2").arg(suffix).arg(w));
    l->setGeometry(twips(120 + w * 500, 800, 480, 280));
    l->setAlignment(Qt::AlignCenter);
    if (w == 0) l->setStyleSheet(QStringLiteral("color: #c00000"));
    if (w == 6) l->setStyleSheet(QStringLiteral("color: #0000c0"));
  }
  for (int i = 0; i < 42; ++i) {
    auto* b = new QPushButton(this);
    b->setObjectName(QStringLiteral("cmd_day%1_%2").arg(suffix).arg(i));
    b->setGeometry(twips(120 + (i % 7) * 500, 1100 + (i / 7) * 390, 480, 370));
    b->setAutoFillBackground(true);
    connect(b, &QPushButton::clicked, this, [this, b] {
      const int day = b->text().toInt();
      if (day >= 1) choose(year_, month_, day);
    });
    days_[static_cast<size_t>(i)] = b;
  }
  setFixedSize(px(3760), px(3550));
}

void MonthCalendar::set_date(int year, int month, int day) {
  year_ = std::clamp(year, RecordedDays::kFirstYear, RecordedDays::kLastYear);
  month_ = std::clamp(month, 1, 12);
  day_ = std::clamp(day, 1, days_in_month(year_, month_));
  redraw();
}

void MonthCalendar::choose(int year, int month, int day) {
  set_date(year, month, day);
  emit date_changed();
}

void MonthCalendar::on_month_spin(int value) {
  if (value < 1) {
    if (year_ > RecordedDays::kFirstYear)
      choose(year_ - 1, 12, day_);
    else
      redraw();
  } else if (value > 12) {
    if (year_ < RecordedDays::kLastYear)
      choose(year_ + 1, 1, day_);
    else
      redraw();
  } else {
    choose(year_, value, day_);
  }
}

void MonthCalendar::redraw() {
  {
    const QSignalBlocker b1(year_bar_), b2(month_bar_), b3(month_box_);
    year_bar_->setValue(year_);
    month_bar_->setValue(month_);
    month_box_->setCurrentIndex(month_ - 1);
  }
  year_label_->setText(QString::number(year_));
  const int first = first_weekday(year_, month_);
  const int length = days_in_month(year_, month_);
  const QColor face = palette().color(QPalette::Button);
  for (int i = 0; i < 42; ++i) {
    QPushButton* b = days_[static_cast<size_t>(i)];
    const int day = i - first + 1;
    QColor colour = face;
    if (day < 1 || day > length) {
      b->setText(QString());
      b->hide();
      b->setEnabled(false);
    } else {
      b->setText(QString::number(day));
      b->show();
      b->setEnabled(true);
      const bool recorded = recorded_ && recorded_->marked(year_, month_, day);
      if (day == day_)
        colour = recorded ? kSelectedWithRecordings : kSelectedWithout;
      else if (recorded)
        colour = kWithRecordings;
    }
    QPalette p = b->palette();
    p.setColor(QPalette::Button, colour);
    b->setPalette(p);
  }
}

// ---- TimeBox

TimeBox::TimeBox(const char* name, int maximum, QWidget* parent) : QLineEdit(parent), maximum_(maximum) {
  setObjectName(QString::fromLatin1(name));
  setAlignment(Qt::AlignCenter);
  connect(this, &QLineEdit::textChanged, this, &TimeBox::on_edited);
}

int TimeBox::value() const { return std::max(0, leading_number(text().toStdString())); }

void TimeBox::set_value(int v) {
  setText(QStringLiteral("%1").arg(std::clamp(v, 0, maximum_), 2, 10, QLatin1Char('0')));
}

void TimeBox::on_edited(const QString& text) {
  if (leading_number(text.toStdString()) > maximum_) setText(QString::number(maximum_));
}

void TimeBox::keyPressEvent(QKeyEvent* event) {
  const QString t = event->text();
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter || t == QLatin1String(".")) {
    focusNextChild();
    return;
  }
  if (event->key() == Qt::Key_Backspace || (t.size() == 1 && t[0].isDigit() && t[0].unicode() < 128)) {
    QLineEdit::keyPressEvent(event);
    return;
  }
  // Other characters are dropped; keys that type nothing (arrows, Delete,
  // shortcuts) keep their usual meaning.
  if (!t.isEmpty() && t[0].isPrint() && !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier))) return;
  QLineEdit::keyPressEvent(event);
}

void TimeBox::focusInEvent(QFocusEvent* event) {
  QLineEdit::focusInEvent(event);
  // After the click that gave the focus has placed the cursor.
  QTimer::singleShot(0, this, [this] {
    if (hasFocus()) selectAll();
  });
}

void TimeBox::focusOutEvent(QFocusEvent* event) {
  QLineEdit::focusOutEvent(event);
  set_value(value());
}

}  // namespace velmora::viewer
