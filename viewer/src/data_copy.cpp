#include "data_copy.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <cstdlib>

#include "copy_span.h"
#include "dates.h"
#include "libraries.h"
#include "mainview.h"
#include "saved_lists.h"
#include "ui_support.h"
#include "velmora/rectime.h"

namespace velmora::viewer {
namespace {

// The progress bar grows by this much per percent.
constexpr int kBarTwipsPerPercent = 55;

std::array<TimeBox*, 3> make_time_boxes(QWidget* parent, const QString& suffix, int left, int top) {
  static const char* kNames[3] = {"txtH", "txtM", "txtS"};
  static const int kMaxima[3] = {23, 59, 59};
  std::array<TimeBox*, 3> boxes{};
  for (int i = 0; i < 3; ++i) {
    const QByteArray name = (QString::fromLatin1(kNames[i]) + suffix).toLatin1();
    TimeBox* box = new TimeBox(name.constData(), kMaxima[i], parent);
    box->setGeometry(twips_rect(left + i * 900, top, 600, 380));
    boxes[static_cast<size_t>(i)] = box;
    if (i < 2) {
      auto* colon = new QLabel(QStringLiteral(":"), parent);
      colon->setGeometry(twips_rect(left + 600 + i * 900, top, 300, 380));
      colon->setAlignment(Qt::AlignCenter);
    }
  }
  return boxes;
}

// Minutes from one day and time to another, counted as minute boundaries
// passed.
long minute_number(const MonthCalendar* c, const std::array<TimeBox*, 3>& t) {
  return day_number(c->year(), c->month(), c->day()) * 1440L + t[0]->value() * 60L + t[1]->value();
}

}  // namespace

std::optional<QString> copy_end_message(int32_t status) {
  switch (status) {
    case 200: return RDataCopy::tr("データコピーが終了しました");
    case 101: return RDataCopy::tr("HDDエラーが発生しました");
    case 102: return RDataCopy::tr("コピーをキャンセルしました");
    case 103:
    case 104: return RDataCopy::tr("データの書き込みができません。中断します");
    default: return std::nullopt;
  }
}

RDataCopy::RDataCopy(MainView& main) : SubWindow(main, "RDataCopy", tr("録画データコピー"), 12300, 6700) {
  start_calendar_ = new MonthCalendar(tr("コピー開始時間"), QString(), &recorded_, this);
  start_calendar_->move(px(120), px(120));
  start_boxes_ = make_time_boxes(this, QString(), 500, 3750);
  end_calendar_ = new MonthCalendar(tr("コピー終了時間"), QStringLiteral("End"), &recorded_, this);
  end_calendar_->move(px(4000), px(120));
  end_boxes_ = make_time_boxes(this, QStringLiteral("End"), 4380, 3750);

  span_minutes_label_ = new QLabel(this);
  span_minutes_label_->setObjectName(QStringLiteral("lbl_min"));
  span_minutes_label_->setGeometry(twips_rect(4000, 4250, 1500, 380));
  span_minutes_label_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  auto* label12 = new QLabel(tr("分間"), this);
  label12->setObjectName(QStringLiteral("Label12"));
  label12->setGeometry(twips_rect(5550, 4250, 800, 380));

  folder_box_ = new QLineEdit(this);
  folder_box_->setObjectName(QStringLiteral("txtF"));
  destination_frame_ = new QGroupBox(tr("コピーデータ保存先 "), this);
  destination_frame_->setObjectName(QStringLiteral("Frame1"));
  destination_frame_->setGeometry(twips_rect(7900, 120, 4250, 4150));
  folder_box_->setParent(destination_frame_);
  folder_box_->setGeometry(twips_rect(120, 3650, 4000, 380));
  folders_ = new FolderChooser(destination_frame_, folder_box_, twips_rect(120, 300, 4000, 380),
                               twips_rect(120, 750, 4000, 2800));

  new_folder_box_ = new QLineEdit(this);
  new_folder_box_->setObjectName(QStringLiteral("Text1"));
  new_folder_box_->setGeometry(twips_rect(7900, 4350, 2600, 400));
  make_folder_button_ = new QPushButton(tr("フォルダー作成"), this);
  make_folder_button_->setObjectName(QStringLiteral("Command1"));
  make_folder_button_->setGeometry(twips_rect(10600, 4330, 1550, 440));
  connect(make_folder_button_, &QPushButton::clicked, this, [this] {
    if (const auto made = create_named_folder(this, folder_box_->text().trimmed(), new_folder_box_->text())) {
      folder_box_->setText(*made);
      folders_->show_folder(*made);
      new_folder_box_->clear();
    }
  });

  mark_days_button_ = new QPushButton(tr("カレンダー色セット"), this);
  mark_days_button_->setObjectName(QStringLiteral("cmdColor"));
  mark_days_button_->setGeometry(twips_rect(120, 4850, 2100, 480));
  connect(mark_days_button_, &QPushButton::clicked, this, &RDataCopy::mark_recorded_days);
  copy_start_button_ = new QPushButton(tr("コピー開始"), this);
  copy_start_button_->setObjectName(QStringLiteral("cmdCopyStart"));
  copy_start_button_->setGeometry(twips_rect(4000, 4850, 1700, 480));
  connect(copy_start_button_, &QPushButton::clicked, this, &RDataCopy::start_copy);
  copy_stop_button_ = new QPushButton(tr("コピー中止"), this);
  copy_stop_button_->setObjectName(QStringLiteral("cmdCopyStop"));
  copy_stop_button_->setGeometry(twips_rect(5850, 4850, 1700, 480));
  connect(copy_stop_button_, &QPushButton::clicked, this, &RDataCopy::stop_copy);

  progress_caption_ = new QLabel(tr("コピー中データ"), this);
  progress_caption_->setObjectName(QStringLiteral("Label10"));
  progress_caption_->setGeometry(twips_rect(120, 5550, 1500, 380));
  progress_bar_ = new QFrame(this);
  progress_bar_->setObjectName(QStringLiteral("Shape1"));
  progress_bar_->setAutoFillBackground(true);
  QPalette bar = progress_bar_->palette();
  bar.setColor(QPalette::Window, QColor(0, 0, 160));
  progress_bar_->setPalette(bar);
  progress_text_ = new QLineEdit(this);
  progress_text_->setObjectName(QStringLiteral("Text2"));
  progress_text_->setReadOnly(true);
  progress_text_->setGeometry(twips_rect(7350, 5550, 500, 380));
  progress_text_->setAlignment(Qt::AlignRight);

  auto* format_label = new QLabel(tr("保存形式"), this);
  format_label->setObjectName(QStringLiteral("lblFormat"));
  format_label->setGeometry(twips_rect(120, 6100, 1500, 380));
  format_box_ = new QComboBox(this);
  format_box_->setObjectName(QStringLiteral("cboFormat"));
  format_box_->addItems(
      {tr("録画機のコピー"), tr("どこでも再生できる動画ファイル (MKV)"), tr("どこでも再生できる動画ファイル (MP4)")});
  format_box_->setGeometry(twips_rect(1700, 6050, 5850, 440));
  const int saved_format = std::atoi(settings().read("RDataCopyFormat").value_or("0").c_str());
  if (saved_format > 0 && saved_format < format_box_->count()) format_box_->setCurrentIndex(saved_format);

  play_list_ = new QListWidget(this);
  play_list_->setObjectName(QStringLiteral("List1"));
  play_list_->setGeometry(twips_rect(7900, 4900, 2600, 1100));

  progress_timer_ = new QTimer(this);
  progress_timer_->setObjectName(QStringLiteral("Timer2"));
  progress_timer_->setInterval(200);
  connect(progress_timer_, &QTimer::timeout, this, &RDataCopy::poll_progress);

  for (auto* c : {start_calendar_, end_calendar_})
    connect(c, &MonthCalendar::date_changed, this, &RDataCopy::update_span_minutes);
  for (auto* b : start_boxes_) connect(b, &QLineEdit::textChanged, this, &RDataCopy::update_span_minutes);
  for (auto* b : end_boxes_) connect(b, &QLineEdit::textChanged, this, &RDataCopy::update_span_minutes);

  // Opening: today on both calendars, playback stopped, no progress shown.
  const QDateTime now = QDateTime::currentDateTime();
  for (auto* c : {start_calendar_, end_calendar_}) c->set_date(now.date().year(), now.date().month(), now.date().day());
  // The days with recordings show from the start, as on the time search.
  mark_recorded_days();
  main.playback_button(MainView::PlaybackButton::kStop);
  wait_ms(500);
  progress_bar_->hide();
  progress_text_->clear();

  folders_->start_at(settings().read("RDataCopyPath"), main_view().program_folder());

  const int fields[3] = {now.time().hour(), now.time().minute(), now.time().second()};
  for (int i = 0; i < 3; ++i) {
    start_boxes_[static_cast<size_t>(i)]->set_value(fields[i]);
    end_boxes_[static_cast<size_t>(i)]->set_value(fields[i]);
  }
  update_span_minutes();

  const int32_t size = lib::brin_rx_playlist(1, 0);
  if (size > 0 && size != lib::kMissing) {
    QFile f(QDir(main.program_folder()).filePath(QStringLiteral("img/list0.txt")));
    if (f.open(QIODevice::ReadOnly)) {
      const QByteArray bytes = f.read(1 << 20);
      for (const std::string& e : play_list_entries(std::string_view(bytes.constData(), bytes.size())))
        play_list_->addItem(QString::fromStdString(e));
    }
  }
}

bool RDataCopy::copying() const { return progress_timer_->isActive(); }

void RDataCopy::update_span_minutes() {
  span_minutes_label_->setText(
      QString::number(minute_number(end_calendar_, end_boxes_) - minute_number(start_calendar_, start_boxes_)));
}

uint32_t RDataCopy::start_time() const {
  return vp::rec_seconds(start_calendar_->year(), start_calendar_->month(), start_calendar_->day(),
                         start_boxes_[0]->value(), start_boxes_[1]->value(), start_boxes_[2]->value());
}

uint32_t RDataCopy::end_time() const {
  return vp::rec_seconds(end_calendar_->year(), end_calendar_->month(), end_calendar_->day(), end_boxes_[0]->value(),
                         end_boxes_[1]->value(), end_boxes_[2]->value());
}

void RDataCopy::mark_recorded_days() {
  recorded_.clear();
  const RecordingList list = RecordingList::of_disk();
  for (int32_t k = 0; k < list.count; ++k) {
    uint32_t s = 0, e = 0;
    if (list.read(static_cast<int32_t>((list.oldest + k) % 1000), &s, &e)) recorded_.mark_span(s, e);
  }
  start_calendar_->redraw();
  end_calendar_->redraw();
}

void RDataCopy::set_controls_enabled(bool enabled) {
  for (QWidget* w : std::initializer_list<QWidget*>{start_calendar_, end_calendar_, destination_frame_, new_folder_box_,
                                                    make_folder_button_, mark_days_button_, copy_start_button_,
                                                    play_list_, format_box_})
    w->setEnabled(enabled);
  for (auto* b : start_boxes_) b->setEnabled(enabled);
  for (auto* b : end_boxes_) b->setEnabled(enabled);
}

void RDataCopy::show_progress(int percent) {
  progress_bar_->setGeometry(twips_rect(1700, 5600, percent * kBarTwipsPerPercent, 280));
  progress_bar_->show();
  progress_text_->setText(QString::number(percent));
}

void RDataCopy::start_copy() {
  const QString folder = folder_box_->text().trimmed();
  settings().write("r_drive", folders_->drives()->drive().toStdString());
  settings().write("RDataCopyPath", folder.toStdString());
  settings().write("RDataCopyFormat", std::to_string(format_box_->currentIndex()));

  const uint32_t start = start_time();
  uint32_t end = end_time();

  const RecordingList list = RecordingList::of_disk();
  std::optional<std::pair<uint32_t, uint32_t>> range;
  uint32_t first = 0, last = 0;
  if (lib::read_start_end_sec(&first, &last) == 0) range = std::make_pair(first, last);
  const std::optional<int32_t> holder = find_copy_entry(list, start, end, range);
  if (!holder) {
    show_message(this, tr("指定した日時のデータはHDDに存在しません"));
    return;
  }
  // Without a destination the numbered folders would land in the root.
  if (folder.isEmpty()) {
    show_message(this, tr("フォルダー名がありません"));
    return;
  }

  int n = 0;
  auto numbered = [&](int i) { return join_path(folder, QStringLiteral("rec%1").arg(i, 2, 10, QLatin1Char('0'))); };
  while (n < kMaxCopies && QFileInfo::exists(numbered(n))) ++n;
  if (n == kMaxCopies) {
    show_message(this, tr("録画データが１００個以上になりました。\n録画データを消去するか保存先を変更してください。"));
    return;
  }
  const QString target = numbered(n);
  if (!QDir().mkdir(target)) {
    show_message(this, tr("%1は作成できません。").arg(target));
    return;
  }

  end = clamp_copy_end(list, *holder, start, end);
  const QByteArray path = QFile::encodeName(target);
  if (lib::hdd_copy_usb(path.constData(), start, end) != 0) {
    // Nothing was copied: the copy's folder goes again, so that the next
    // copy takes its number, and the user learns that it failed.
    QDir().rmdir(target);
    show_message(this, tr("データの書き込みができません。中断します"));
    return;
  }
  copy_folder_ = target;
  progress_caption_->setText(tr("コピー中データ"));
  progress_timer_->start();
  show_progress(0);
  set_controls_enabled(false);
  folders_->tree()->refresh();
}

void RDataCopy::poll_progress() {
  if (export_process_) return;  // the export reports its own progress
  int32_t status = 0;
  if (lib::hdd_copy_usb_get_sts(&status) == lib::kMissing) status = 101;
  if (status >= 0 && status <= 100) {
    show_progress(status);
    return;
  }
  const std::optional<QString> text = copy_end_message(status);
  if (!text) return;  // not a state the library reports; the next tick looks again
  if (status == 200 && format_box_->currentIndex() != static_cast<int>(CopyFormat::kRecorder)) {
    start_video_export();
    return;
  }
  if (status == 200) show_progress(100);
  // A finished copy says which folder it wrote.
  end_copy(status == 200 ? *text + QLatin1Char('\n') + copy_folder_ : *text);
}

void RDataCopy::end_copy(const QString& message) {
  // The timer stops before the message box, whose wait would let it report
  // the same end again.
  progress_timer_->stop();
  show_message(this, message);
  progress_text_->clear();
  progress_bar_->hide();
  progress_caption_->setText(tr("コピー中データ"));
  set_controls_enabled(true);
  folders_->tree()->refresh();
}

void RDataCopy::start_video_export() {
  const bool mp4 = format_box_->currentIndex() == static_cast<int>(CopyFormat::kMp4);
  export_process_ = new QProcess(this);
  export_process_->setProgram(QCoreApplication::applicationDirPath() + QStringLiteral("/velmora-disk"));
  export_process_->setArguments({QStringLiteral("play-copy"), copy_folder_, QStringLiteral("--format"),
                                 mp4 ? QStringLiteral("mp4") : QStringLiteral("mkv"), copy_folder_,
                                 QStringLiteral("--progress-lines")});
  connect(export_process_, &QProcess::readyReadStandardOutput, this, &RDataCopy::read_export_progress);
  connect(export_process_, &QProcess::finished, this,
          [this](int code, QProcess::ExitStatus how) { export_finished(code, how != QProcess::NormalExit); });
  connect(export_process_, &QProcess::errorOccurred, this, [this](QProcess::ProcessError e) {
    if (e == QProcess::FailedToStart) export_finished(-1, true);
  });
  progress_caption_->setText(tr("動画ファイル作成中"));
  show_progress(0);
  export_process_->start();
}

void RDataCopy::read_export_progress() {
  while (export_process_ && export_process_->canReadLine()) {
    const QByteArray line = export_process_->readLine().trimmed();
    if (line.startsWith("progress ")) show_progress(std::clamp(line.mid(9).toInt(), 0, 100));
  }
}

void RDataCopy::export_finished(int exit_code, bool crashed) {
  if (!export_process_) return;
  QProcess* process = export_process_;
  export_process_ = nullptr;
  const QString errors = QString::fromLocal8Bit(process->readAllStandardError()).trimmed();
  process->deleteLater();
  // A stopped or failed export leaves no half-written video file behind.
  for (const QFileInfo& part : QDir(copy_folder_).entryInfoList({QStringLiteral("*.part")}, QDir::Files))
    QFile::remove(part.filePath());
  if (crashed || exit_code != 0) {
    end_copy(tr("録画データはコピーしましたが、動画ファイルは作成できませんでした。\n%1\n%2")
                 .arg(copy_folder_, errors.isEmpty() ? tr("動画ファイル作成を中止しました") : errors));
    return;
  }
  show_progress(100);
  // The custody record's summary: the files, their pictures and the GOPs.
  QStringList summary;
  QFile record;
  const QFileInfoList texts =
      QDir(copy_folder_)
          .entryInfoList({QStringLiteral("*.mkv.txt"), QStringLiteral("*.mp4.txt")}, QDir::Files, QDir::Name);
  if (!texts.isEmpty()) {
    record.setFileName(texts.first().filePath());
    if (record.open(QIODevice::ReadOnly | QIODevice::Text)) {
      while (!record.atEnd()) {
        const QString line = QString::fromUtf8(record.readLine()).trimmed();
        if (line.startsWith(QLatin1String("Camera ")) || line.contains(QLatin1String(" pictures, ")) ||
            line.startsWith(QLatin1String("GOPs read")))
          summary << line;
      }
    }
  }
  end_copy(tr("データコピーが終了しました") + QLatin1Char('\n') + copy_folder_ + QStringLiteral("\n\n") +
           summary.join(QLatin1Char('\n')));
}

void RDataCopy::stop_copy() {
  if (export_process_) {
    // The recorder's copy is whole; only the video files are given up.
    export_process_->kill();
    return;
  }
  lib::hdd_copy_usb_stop();
  set_controls_enabled(true);
  folders_->tree()->refresh();
}

}  // namespace velmora::viewer
