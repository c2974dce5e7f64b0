#include "time_search.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalBlocker>

#include "libraries.h"
#include "mainview.h"
#include "saved_lists.h"
#include "ui_support.h"
#include "velmora/rectime.h"

namespace velmora::viewer {
namespace {

constexpr int kRecordListRing = 1000;

}  // namespace

TimeSearch::TimeSearch(MainView& main) : SubWindow(main, "TimeSearch", tr("時刻検索"), 8400, 6000) {
  calendar_ = new MonthCalendar(tr("時刻検索"), QString(), &recorded_, this);
  calendar_->move(px(120), px(120));

  auto* time_label = new QLabel(tr("時刻"), this);
  time_label->setGeometry(twips_rect(150, 3800, 600, 400));
  static const char* kBoxes[3] = {"txtH", "txtM", "txtS"};
  static const int kMaxima[3] = {23, 59, 59};
  for (int i = 0; i < 3; ++i) {
    TimeBox* box = new TimeBox(kBoxes[i], kMaxima[i], this);
    box->setGeometry(twips_rect(800 + i * 1000, 3800, 650, 400));
    boxes_[static_cast<size_t>(i)] = box;
    if (i < 2) {
      auto* colon = new QLabel(QStringLiteral(":"), this);
      colon->setGeometry(twips_rect(1500 + i * 1000, 3800, 250, 400));
      colon->setAlignment(Qt::AlignCenter);
    }
    auto* slider = new QScrollBar(Qt::Horizontal, this);
    slider->setObjectName(QStringLiteral("HScroll1_%1").arg(i));
    slider->setRange(0, kMaxima[i]);
    slider->setGeometry(twips_rect(800 + i * 1000, 4250, 900, 260));
    connect(slider, &QScrollBar::valueChanged, box, [box](int v) { box->set_value(v); });
    sliders_[static_cast<size_t>(i)] = slider;
  }

  auto* cmd_start = new QPushButton(tr("検索開始"), this);
  cmd_start->setObjectName(QStringLiteral("cmdStart"));
  cmd_start->setGeometry(twips_rect(150, 4800, 1700, 500));
  connect(cmd_start, &QPushButton::clicked, this, &TimeSearch::search);
  auto* cmd_color = new QPushButton(tr("カレンダー色セット"), this);
  cmd_color->setObjectName(QStringLiteral("cmdColor"));
  cmd_color->setGeometry(twips_rect(2000, 4800, 1880, 500));
  connect(cmd_color, &QPushButton::clicked, this, &TimeSearch::mark_recorded_days);

  auto* label5 = new QLabel(tr("録画リスト"), this);
  label5->setObjectName(QStringLiteral("Label5"));
  label5->setGeometry(twips_rect(4100, 150, 4000, 300));
  recording_list_ = new QListWidget(this);
  recording_list_->setObjectName(QStringLiteral("lstRec"));
  recording_list_->setGeometry(twips_rect(4100, 450, 4100, 2500));
  connect(recording_list_, &QListWidget::itemClicked, this,
          [this](QListWidgetItem* item) { pick(item, PickedList::kRecordings); });
  auto* label6 = new QLabel(tr("アラーム録画リスト"), this);
  label6->setObjectName(QStringLiteral("Label6"));
  label6->setGeometry(twips_rect(4100, 3050, 4000, 300));
  alarm_list_ = new QListWidget(this);
  alarm_list_->setObjectName(QStringLiteral("lstAlarmRec"));
  alarm_list_->setGeometry(twips_rect(4100, 3350, 4100, 1950));
  connect(alarm_list_, &QListWidget::itemClicked, this,
          [this](QListWidgetItem* item) { pick(item, PickedList::kAlarms); });

  read_lists();
  // The days with recordings show from the start.
  mark_recorded_days();

  const QDateTime now = QDateTime::currentDateTime();
  calendar_->set_date(now.date().year(), now.date().month(), now.date().day());
  const int now_fields[3] = {now.time().hour(), now.time().minute(), now.time().second()};
  for (int i = 0; i < 3; ++i) {
    boxes_[static_cast<size_t>(i)]->set_value(now_fields[i]);
    const QSignalBlocker block(sliders_[static_cast<size_t>(i)]);
    sliders_[static_cast<size_t>(i)]->setValue(now_fields[i]);
  }
}

void TimeSearch::read_lists() {
  int32_t count = 0, oldest = 0;
  if (lib::get_rec_list(&count, &oldest) == 0) {
    for (int32_t k = 0; k < count && k < kRecordListRing; ++k) {
      const int32_t index = static_cast<int32_t>((static_cast<int64_t>(oldest) + k) % kRecordListRing);
      uint32_t start = 0, end = 0;
      int32_t kind = 0;
      // A damaged entry is left out rather than listed with a wrong time.
      if (lib::get_list_start_end_sec(index, &start, &end, &kind) != 0) continue;
      (kind == 0 ? recording_list_ : alarm_list_)->addItem(rec_time_text(start));
    }
  }
  // The recorder's own play list, when a control connection number 1 is
  // open to fetch it.
  const int32_t size = lib::brin_rx_playlist(1, 0);
  if (size > 0 && size != lib::kMissing) {
    QFile f(QDir(main_view().program_folder()).filePath(QStringLiteral("img/list0.txt")));
    if (f.open(QIODevice::ReadOnly)) {
      const QByteArray bytes = f.read(1 << 20);
      for (const std::string& e : play_list_entries(std::string_view(bytes.constData(), bytes.size())))
        recording_list_->addItem(QString::fromStdString(e));
    }
  }
}

std::optional<std::pair<uint32_t, uint32_t>> TimeSearch::recorded_range() const {
  std::optional<std::pair<uint32_t, uint32_t>> range;
  int32_t count = 0, oldest = 0;
  if (lib::get_rec_list(&count, &oldest) != 0) return range;
  for (int32_t k = 0; k < count && k < kRecordListRing; ++k) {
    const int32_t index = static_cast<int32_t>((static_cast<int64_t>(oldest) + k) % kRecordListRing);
    uint32_t start = 0, end = 0;
    int32_t kind = 0;
    if (lib::get_list_start_end_sec(index, &start, &end, &kind) != 0) continue;
    if (end < start) end = start;
    if (!range)
      range = std::make_pair(start, end);
    else
      range = std::make_pair(std::min(range->first, start), std::max(range->second, end));
  }
  return range;
}

void TimeSearch::mark_recorded_days() {
  recorded_.clear();
  int32_t count = 0, oldest = 0;
  if (lib::get_rec_list(&count, &oldest) == 0) {
    for (int32_t k = 0; k < count && k < kRecordListRing; ++k) {
      const int32_t index = static_cast<int32_t>((static_cast<int64_t>(oldest) + k) % kRecordListRing);
      uint32_t start = 0, end = 0;
      int32_t kind = 0;
      if (lib::get_list_start_end_sec(index, &start, &end, &kind) == 0) recorded_.mark_span(start, end);
    }
  }
  calendar_->redraw();
}

void TimeSearch::search() {
  for (TimeBox* box : boxes_) {
    if (box->text().isEmpty()) {
      show_message(this, tr("検索する時間を入力してください"));
      return;
    }
  }
  const uint32_t time = vp::rec_seconds(calendar_->year(), calendar_->month(), calendar_->day(), boxes_[0]->value(),
                                        boxes_[1]->value(), boxes_[2]->value());
  // A time outside the recordings names the range there is and offers its
  // nearer end, rather than playing something else without a word.
  if (const auto range = recorded_range(); range && (time < range->first || time > range->second)) {
    const QString span =
        tr("録画データは %1 から %2 までです。").arg(rec_time_text(range->first), rec_time_text(range->second));
    QString question;
    uint32_t target = 0;
    if (time < range->first) {
      target = range->first;
      question = tr("指定した日時より前の録画データはありません。\n") + span +
                 tr("\n最初の録画 (%1) から再生しますか？").arg(rec_time_text(target));
    } else {
      // The last seconds of the newest recording, so that there is
      // something to see before the data ends.
      target = range->second >= range->first + kTailSeconds ? range->second - kTailSeconds : range->first;
      question = tr("指定した日時のデータは存在しません。\n") + span +
                 tr("\n最後の録画の終わり近く (%1) から再生しますか？").arg(rec_time_text(target));
    }
    if (!ask_yes_no(this, question)) return;
    if (lib::search_play(target) == 2) {
      show_message(this, tr("指定した日時のデータは存在しません"));
      return;
    }
    start_playback();
    return;
  }
  if (lib::search_play(time) == 2) {
    show_message(this, tr("指定した日時のデータは存在しません"));
    return;
  }
  start_playback();
}

void TimeSearch::pick(QListWidgetItem* item, PickedList list) {
  const std::optional<uint32_t> time = parse_shown_time(item->text());
  if (!time) return;
  const bool alarm = list == PickedList::kAlarms;
  if (alarm) alarm_list_->setEnabled(false);
  lib::search_play(*time);
  if (alarm) lib::hdd_play_start();
  start_playback();
}

void TimeSearch::start_playback() {
  main_view().enter_disk_playback();
  close();
}

}  // namespace velmora::viewer
