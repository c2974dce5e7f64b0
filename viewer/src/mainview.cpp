// The main window: its controls, the start sequence, the settings it reads
// and writes, and the end of the program. The live view is in
// mainview_live.cpp, playback in mainview_playback.cpp.
#include "mainview.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollBar>
#include <QShortcut>
#include <QTimer>
#include <algorithm>
#include <cstdio>

#include "audio_device.h"
#include "libraries.h"
#include "ui_support.h"
#include "velmora/rectime.h"

namespace velmora::viewer {
namespace {

constexpr int kVersionMajor = 1;
constexpr int kVersionMinor = 0;
constexpr int kVersionRevision = 19;
// The pause after each step of the program's end.
constexpr int kShutdownPauseMs = 300;

struct Model {
  const char* caption;  // appended to the window caption
  int viewer_mode;
  int bmp_mode;
  bool logo_shown;
};
constexpr Model kModels[] = {
    {" ZEB-5", 0, 0, true},
    {" ZQ-700", 0, 0, false},
    {" KV-W9", 6, 1, true},
};

QRect twips(int left, int top, int width, int height) { return QRect(px(left), px(top), px(width), px(height)); }

QPushButton* button(QWidget* parent, const char* name, const QString& caption, QRect where) {
  auto* b = new QPushButton(caption, parent);
  b->setObjectName(QString::fromLatin1(name));
  b->setGeometry(where);
  b->setFocusPolicy(Qt::StrongFocus);
  return b;
}

// Keeps a button shown only while another one is shown and can be pressed:
// the disk image button goes with "HDDデータ再生" wherever the menu shows,
// hides or disables that, without each of those places knowing of it.
class FollowPressable : public QObject {
 public:
  FollowPressable(QWidget* leader, QWidget* follower) : QObject(follower), leader_(leader), follower_(follower) {
    leader->installEventFilter(this);
    follow();
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    const QEvent::Type t = event->type();
    if (watched == leader_ && (t == QEvent::ShowToParent || t == QEvent::HideToParent || t == QEvent::EnabledChange))
      follow();
    return false;
  }

 private:
  void follow() { follower_->setHidden(leader_->isHidden() || !leader_->isEnabled()); }

  QWidget* leader_;
  QWidget* follower_;
};

QGroupBox* frame(QWidget* parent, const char* name, const QString& caption, QRect where) {
  auto* f = new QGroupBox(caption, parent);
  f->setObjectName(QString::fromLatin1(name));
  f->setGeometry(where);
  return f;
}

QPixmap speaker_icon(bool on) {
  QPixmap pm(20, 20);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.setBrush(QColor(60, 60, 60));
  p.setPen(Qt::NoPen);
  const QPointF body[] = {{2, 7}, {6, 7}, {11, 3}, {11, 17}, {6, 13}, {2, 13}};
  p.drawPolygon(body, 6);
  p.setPen(QPen(on ? QColor(30, 120, 30) : QColor(180, 30, 30), 2));
  if (on) {
    p.drawArc(QRectF(9, 5, 8, 10), -60 * 16, 120 * 16);
  } else {
    p.drawLine(13, 6, 19, 14);
    p.drawLine(19, 6, 13, 14);
  }
  return pm;
}

QImage model_logo(const char* text) {
  QImage image(px(2250), px(600), QImage::Format_RGB32);
  image.fill(QColor(20, 40, 80));
  QPainter p(&image);
  p.setPen(Qt::white);
  p.setFont(QFont(QStringLiteral("Sans"), 14, QFont::Bold));
  p.drawText(image.rect(), Qt::AlignCenter, QString::fromUtf8(text).trimmed());
  return image;
}

}  // namespace

// ---- PictureBox

PictureBox::PictureBox(QWidget* parent) : QWidget(parent) { setAttribute(Qt::WA_OpaquePaintEvent); }

namespace {

// A picture file's bytes as an image: BMP or JPEG told apart by content,
// whatever the name says. Null when they hold no picture.
QImage image_from_file_bytes(const QByteArray& bytes) {
  QImage image;
  if (bytes.startsWith("BM"))
    image.loadFromData(bytes, "BMP");
  else
    image.loadFromData(bytes);
  return image;
}

}  // namespace

bool PictureBox::load(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return false;
  const QImage image = image_from_file_bytes(f.readAll());
  if (image.isNull()) return false;
  set_image(image, path);
  return true;
}

bool PictureBox::load_if_new(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return false;
  QByteArray bytes = f.readAll();
  if (bytes == loaded_bytes_ && source_ == path) return false;
  const QImage image = image_from_file_bytes(bytes);
  if (image.isNull()) return false;
  set_image(image, path);
  loaded_bytes_ = std::move(bytes);
  return true;
}

void PictureBox::set_image(const QImage& image, const QString& source) {
  loaded_bytes_.clear();
  image_ = image;
  source_ = source;
  update();
}

void PictureBox::set_stale(bool stale, const QString& note) {
  if (stale == stale_ && note == stale_note_) return;
  stale_ = stale;
  stale_note_ = note;
  update();
}

void PictureBox::set_chosen(bool chosen) {
  if (chosen == chosen_) return;
  chosen_ = chosen;
  update();
}

void PictureBox::mousePressEvent(QMouseEvent* event) {
  QWidget::mousePressEvent(event);
  emit clicked();
}

void PictureBox::mouseDoubleClickEvent(QMouseEvent* event) {
  QWidget::mouseDoubleClickEvent(event);
  emit double_clicked();
}

void PictureBox::paintEvent(QPaintEvent*) {
  QPainter p(this);
  if (image_.isNull()) {
    p.fillRect(rect(), Qt::black);
    return;
  }
  p.setRenderHint(QPainter::SmoothPixmapTransform);
  p.drawImage(rect(), image_);
  if (stale_) {
    p.fillRect(rect(), QColor(0, 0, 0, 150));
    QFont f = font();
    f.setBold(true);
    f.setPixelSize(std::max(12, height() / 14));
    p.setFont(f);
    const QRect box =
        p.fontMetrics().boundingRect(rect().adjusted(8, 8, -8, -8), Qt::AlignLeft | Qt::AlignTop, stale_note_);
    p.fillRect(box.adjusted(-6, -4, 6, 4), QColor(160, 0, 0, 220));
    p.setPen(Qt::white);
    p.drawText(box, Qt::AlignLeft | Qt::AlignTop, stale_note_);
  }
  if (chosen_) {
    p.setPen(QPen(QColor(255, 200, 0), 3));
    p.drawRect(rect().adjusted(1, 1, -2, -2));
  }
}

// ---- Placement and times

ScreenPlacement place_main_window(int screen_width, int screen_height, int window_width, int window_height) {
  ScreenPlacement s;
  s.top = (screen_height - window_height) / 2;
  if (s.top < 0) {
    s.fits = false;
    return s;
  }
  if (s.top < 500) s.top = 0;
  s.left = (screen_width - window_width) / 2;
  s.stored_top = s.top - 100;
  s.stored_left = s.left;
  if (screen_height > 17000) {
    s.top = 150;
    s.left = 0;
    s.stored_top = 0;
    s.stored_left = 0;
  }
  return s;
}

std::optional<uint32_t> parse_shown_time(const QString& text) {
  static const QRegularExpression number(QStringLiteral("\\d+"));
  int values[6];
  int n = 0;
  for (auto it = number.globalMatch(text); it.hasNext() && n < 6;) values[n++] = it.next().captured().toInt();
  if (n < 6) return std::nullopt;
  const int year = values[0];
  if (year < 2000 || year > 2255 || values[1] < 1 || values[1] > 12 || values[2] < 1 || values[2] > 31 ||
      values[3] > 23 || values[4] > 59 || values[5] > 59)
    return std::nullopt;
  return vp::rec_seconds(year, values[1], values[2], values[3], values[4], values[5]);
}

QString live_time_text(int year, int month, int day, int hour, int minute, int second) {
  // Written as a played picture's time is: two digits a field.
  auto two = [](int v) { return QStringLiteral("%1").arg(v, 2, 10, QLatin1Char('0')); };
  return MainView::tr("%1年%2月%3日\n%4時%5分%6秒")
      .arg(year)
      .arg(two(month), two(day), two(hour), two(minute), two(second));
}

QString played_time_text(uint32_t rec_seconds) {
  // The fields of the "yyyy/mm/dd hh:nn:ss" form, two digits each.
  const vp::RecTime t = vp::rec_time_from_seconds(rec_seconds);
  auto two = [](int v) { return QStringLiteral("%1").arg(v, 2, 10, QLatin1Char('0')); };
  return MainView::tr("%1年%2月%3日\n%4時%5分%6秒")
      .arg(2000 + t.year)
      .arg(two(t.month), two(t.day), two(t.hour), two(t.minute), two(t.second));
}

// ---- MainView

MainView::MainView(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("mainview"));
  build_controls();
}

MainView::~MainView() { shutdown(); }

QPoint MainView::stored_placement() const {
  return QPoint(stored_left_ / kTwipsPerPixel, stored_top_ / kTwipsPerPixel);
}

void MainView::build_controls() {
  const int width = px(kFormWidth), height = px(kFormHeight);
  setMinimumSize(width, height);
  resize(width, height);
  base_font_ = font();
  base_palette_ = palette();

  // The controls right of the pictures and under them sit in two panels of
  // their own, so that they can move to the window's edges and give way to
  // the pictures in full screen. Their rectangles are given in the window's
  // twips and moved into the panel.
  side_ = new QWidget(this);
  side_->setGeometry(px(kPictureAreaWidth), 0, width - px(kPictureAreaWidth), height);
  bottom_ = new QWidget(this);
  bottom_->setGeometry(0, px(kPictureAreaHeight), px(kPictureAreaWidth), height - px(kPictureAreaHeight));
  const QPoint side_origin = side_->pos(), bottom_origin = bottom_->pos();
  auto in_side = [&](int left, int top, int w, int h) { return twips(left, top, w, h).translated(-side_origin); };
  auto in_bottom = [&](int left, int top, int w, int h) { return twips(left, top, w, h).translated(-bottom_origin); };

  for (int i = 0; i < 4; ++i) {
    Cell& c = cells_[static_cast<size_t>(i)];
    c.label = new QLabel(this);
    c.label->setObjectName(QStringLiteral("Label4_%1").arg(i));
    c.picture = new PictureBox(this);
    c.picture->setObjectName(QStringLiteral("Image1_%1").arg(i));
    connect(c.picture, &PictureBox::double_clicked, this, [this, i] { on_cell_double_clicked(i); });
    connect(c.picture, &PictureBox::clicked, this, [this, i] { choose_still_cell(i); });
  }
  logo_ = new PictureBox(side_);
  logo_->setObjectName(QStringLiteral("Image1_4"));
  logo_->setGeometry(in_side(12950, 100, 2250, 600));

  recorder_list_ = new QListWidget(side_);
  recorder_list_->setObjectName(QStringLiteral("List1"));
  recorder_list_->setGeometry(in_side(12950, 800, 2250, 2700));
  // Long names stay readable: cut in the middle with the whole line as the
  // tooltip, and a scroll bar when the list is too narrow.
  recorder_list_->setTextElideMode(Qt::ElideMiddle);
  connect(recorder_list_, &QListWidget::itemDoubleClicked, this,
          [this](QListWidgetItem* item) { connect_list_row(recorder_list_->row(item)); });

  connection_label_ = new QLabel(tr("未接続"), side_);
  connection_label_->setObjectName(QStringLiteral("Label5"));
  connection_label_->setGeometry(in_side(12950, 3550, 2250, 350));
  connection_label_->setAlignment(Qt::AlignCenter);
  connection_label_->setFrameStyle(QFrame::Panel | QFrame::Sunken);

  disconnect_button_ = button(side_, "Command16", tr("切断"), in_side(12950, 3950, 2250, 450));
  disconnect_button_->setEnabled(false);
  connect(disconnect_button_, &QPushButton::clicked, this, &MainView::disconnect_live);

  menu_frame_ = frame(side_, "Frame2", tr("メニュー"), in_side(12950, 4450, 2250, 3500));
  disk_playback_button_ = button(menu_frame_, "Command3", tr("HDDデータ再生"), twips(100, 300, 2050, 450));
  saved_video_button_ = button(menu_frame_, "Command4", tr("保存動画データ再生"), twips(100, 800, 2050, 450));
  saved_stills_button_ = button(menu_frame_, "Command5", tr("保存静止画データ再生"), twips(100, 1300, 2050, 450));
  data_copy_button_ = button(menu_frame_, "Command1", tr("録画データコピー"), twips(100, 1800, 2050, 450));
  still_button_ = button(menu_frame_, "Command6", tr("静止画保存"), twips(100, 2300, 2050, 450));
  back_button_ = button(menu_frame_, "Command7", tr("戻る"), twips(100, 2800, 2050, 450));
  // In the row the copy button takes during playback: it shows only outside
  // playback, while "HDDデータ再生" can be pressed.
  disk_image_button_ = button(menu_frame_, "cmdDiskImage", tr("HDDイメージを開く…"), twips(100, 1800, 2050, 450));
  new FollowPressable(disk_playback_button_, disk_image_button_);
  connect(disk_image_button_, &QPushButton::clicked, this, &MainView::choose_disk_image);
  connect(disk_playback_button_, &QPushButton::clicked, this, &MainView::open_recorder_disk);
  connect(saved_video_button_, &QPushButton::clicked, this, [this] {
    enter_menu_source(saved_video_button_);
    if (hooks_.open_disk_data_search) hooks_.open_disk_data_search();
    playback_mode_ = kSavedDataPlayback;
    lib::set_init_dec();
  });
  connect(saved_stills_button_, &QPushButton::clicked, this, [this] {
    enter_menu_source(saved_stills_button_);
    if (hooks_.open_saved_picture_search) hooks_.open_saved_picture_search();
    sound_frame_->hide();
  });
  connect(data_copy_button_, &QPushButton::clicked, this, [this] {
    if (hooks_.open_data_copy) hooks_.open_data_copy();
  });
  connect(still_button_, &QPushButton::clicked, this, [this] {
    if (hooks_.open_picture_save) hooks_.open_picture_save();
  });
  connect(back_button_, &QPushButton::clicked, this, &MainView::leave_playback);

  telnet_button_ = button(side_, "Command10", QStringLiteral("TELnet ON"), in_side(12950, 8050, 2250, 400));
  connect(telnet_button_, &QPushButton::clicked, this, &MainView::telnet_on);

  display_rate_frame_ = frame(side_, "Frame4", QString(), in_side(12950, 8550, 2250, 600));
  high_rate_check_ = new QCheckBox(QStringLiteral("High"), display_rate_frame_);
  high_rate_check_->setObjectName(QStringLiteral("Check2"));
  high_rate_check_->setGeometry(twips(150, 150, 950, 350));
  connect(high_rate_check_, &QCheckBox::clicked, this, &MainView::on_display_rate_clicked);
  every_picture_check_ = new QCheckBox(tr("全コマ"), display_rate_frame_);
  every_picture_check_->setObjectName(QStringLiteral("Check3"));
  every_picture_check_->setGeometry(twips(1100, 150, 1100, 350));
  every_picture_check_->setToolTip(tr("届いた画像をすべてその都度表示します"));
  connect(every_picture_check_, &QCheckBox::clicked, this, &MainView::on_every_picture_clicked);

  exit_button_ = button(side_, "Command15", tr("終了"), in_side(12950, 9300, 2250, 500));
  connect(exit_button_, &QPushButton::clicked, this, [this] {
    show_start_pictures();
    shutdown();
    QCoreApplication::quit();
  });

  time_label_ = new QLabel(bottom_);
  time_label_->setObjectName(QStringLiteral("lblTime"));
  time_label_->setGeometry(in_bottom(50, 9500, 2300, 900));
  time_label_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  status_label_ = new QLabel(bottom_);
  status_label_->setObjectName(QStringLiteral("lblStatus"));
  status_label_->setGeometry(in_bottom(50, 10450, 2300, 400));
  status_label_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

  camera_frame_ = frame(bottom_, "Frame14", tr("チャンネル選択"), in_bottom(2450, 9450, 2900, 1000));
  for (int k = 0; k < 4; ++k) {
    const char* names[] = {"Command8_0", "Command8_1", "Command8_2", "Command8_3"};
    camera_buttons_[static_cast<size_t>(k)] =
        button(camera_frame_, names[k], QString::number(k + 1), twips(100 + k * 520, 350, 480, 450));
    connect(camera_buttons_[static_cast<size_t>(k)], &QPushButton::clicked, this, [this, k] { show_single(k); });
  }
  four_split_button_ = button(camera_frame_, "Command9", tr("田"), twips(100 + 4 * 520 + 100, 350, 480, 450));
  connect(four_split_button_, &QPushButton::clicked, this, &MainView::show_four);

  playback_frame_ = frame(bottom_, "Frame5", QString(), in_bottom(5450, 9450, 4500, 1450));
  playback_caption_ = new QLabel(tr("再生"), playback_frame_);
  playback_caption_->setObjectName(QStringLiteral("Label7"));
  playback_caption_->setGeometry(twips(100, 60, 900, 250));
  static const char* kPlayCaptions[] = {"|◀", "◀◀", "◀", "▶", "▶▶", "▶|", "■", "|◀▶"};
  for (int i = 0; i < 8; ++i) {
    const QByteArray name = QStringLiteral("Command14_%1").arg(i).toLatin1();
    playback_buttons_[static_cast<size_t>(i)] = button(
        playback_frame_, name.constData(), QString::fromUtf8(kPlayCaptions[i]), twips(100 + i * 540, 350, 520, 450));
    connect(playback_buttons_[static_cast<size_t>(i)], &QPushButton::clicked, this,
            [this, i] { playback_button(static_cast<PlaybackButton>(i)); });
  }
  speed_label_ = new QLabel(playback_frame_);
  speed_label_->setObjectName(QStringLiteral("Label1"));
  speed_label_->setGeometry(twips(100, 900, 4200, 350));

  position_frame_ = frame(bottom_, "Frame1", QString(), in_bottom(10050, 9450, 2800, 600));
  position_bar_ = new QScrollBar(Qt::Horizontal, position_frame_);
  position_bar_->setObjectName(QStringLiteral("file_pos"));
  position_bar_->setGeometry(twips(100, 200, 2600, 300));
  position_bar_->setTracking(false);
  connect(position_bar_, &QScrollBar::sliderMoved, this, &MainView::on_position_dragged);
  connect(position_bar_, &QScrollBar::valueChanged, this, &MainView::on_position_changed);

  sound_frame_ = frame(bottom_, "Frame11", QString(), in_bottom(10050, 10100, 2800, 800));
  sound_image_ = new QLabel(sound_frame_);
  sound_image_->setObjectName(QStringLiteral("imgSound"));
  sound_image_->setGeometry(twips(100, 250, 350, 350));
  volume_bar_ = new QScrollBar(Qt::Horizontal, sound_frame_);
  volume_bar_->setObjectName(QStringLiteral("HScroll2"));
  volume_bar_->setRange(0, 20);
  volume_bar_->setGeometry(twips(500, 300, 1300, 250));
  connect(volume_bar_, &QScrollBar::valueChanged, this, &MainView::on_volume_changed);
  mute_check_ = new QCheckBox(tr("消音"), sound_frame_);
  mute_check_->setObjectName(QStringLiteral("Check1"));
  mute_check_->setGeometry(twips(1850, 250, 900, 350));
  connect(mute_check_, &QCheckBox::toggled, this, &MainView::on_mute_toggled);

  clock_timer_ = new QTimer(this);
  clock_timer_->setObjectName(QStringLiteral("tmrTokei"));
  clock_timer_->setInterval(50);
  connect(clock_timer_, &QTimer::timeout, this, &MainView::on_clock_tick);
  refresh_timer_ = new QTimer(this);
  refresh_timer_->setObjectName(QStringLiteral("Timer1"));
  refresh_timer_->setInterval(133);
  connect(refresh_timer_, &QTimer::timeout, this, &MainView::refresh_pictures);
  picture_timer_ = new QTimer(this);
  picture_timer_->setObjectName(QStringLiteral("tmrPicture"));
  picture_timer_->setInterval(kEveryPictureLiveMs);
  connect(picture_timer_, &QTimer::timeout, this, &MainView::on_picture_tick);

  record_design(side_);
  record_design(bottom_);
  build_shortcuts();
}

// Keeps the designed rectangle of every control in a panel, frames' contents
// included (not the parts composite widgets make for themselves).
void MainView::record_design(QWidget* container) {
  for (QObject* o : container->children()) {
    auto* w = qobject_cast<QWidget*>(o);
    if (!w || w->objectName().isEmpty() || w->objectName().startsWith(QLatin1String("qt_"))) continue;
    designed_.push_back({w, w->geometry()});
    if (qobject_cast<QGroupBox*>(w)) record_design(w);
  }
}

void MainView::build_shortcuts() {
  auto shortcut = [this](QKeySequence key, QWidget* on, Qt::ShortcutContext context, std::function<void()> f) {
    auto* s = new QShortcut(key, on, nullptr, nullptr, context);
    connect(s, &QShortcut::activated, this, std::move(f));
  };
  // Enter on the recorder list connects, as a double click on the line does.
  for (QKeySequence k : {QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)})
    shortcut(k, recorder_list_, Qt::WidgetShortcut, [this] {
      if (recorder_list_->currentRow() >= 0) connect_list_row(recorder_list_->currentRow());
    });
  shortcut(QKeySequence(Qt::Key_F11), this, Qt::WindowShortcut, [this] { toggle_full_screen(); });
  shortcut(QKeySequence(Qt::Key_Escape), this, Qt::WindowShortcut, [this] { on_escape(); });
  shortcut(QKeySequence(Qt::Key_Space), this, Qt::WindowShortcut, [this] { on_play_pause_key(); });
  shortcut(QKeySequence(Qt::Key_Left), this, Qt::WindowShortcut, [this] { on_step_key(Step::kBack); });
  shortcut(QKeySequence(Qt::Key_Right), this, Qt::WindowShortcut, [this] { on_step_key(Step::kForward); });
  shortcut(QKeySequence(Qt::Key_0), this, Qt::WindowShortcut, [this] { show_four(); });
  for (int k = 0; k < 4; ++k)
    shortcut(QKeySequence(Qt::Key_1 + k), this, Qt::WindowShortcut, [this, k] { on_camera_key(k); });
}

void MainView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  relayout();
}

void MainView::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  // Leaving full screen by the window manager's means brings the controls
  // back as F11 does.
  if (event->type() == QEvent::WindowStateChange && pictures_full_screen_ && !isFullScreen()) {
    pictures_full_screen_ = false;
    relayout();
  }
}

void MainView::toggle_full_screen() {
  pictures_full_screen_ = !isFullScreen();
  if (pictures_full_screen_)
    showFullScreen();
  else
    showNormal();
  relayout();
}

void MainView::relayout() {
  if (!side_) return;
  const double base_w = px(kFormWidth), base_h = px(kFormHeight);
  // The controls grow half as fast as the window, so that most of a larger
  // window goes to the pictures; they never shrink below their design.
  const double fit = std::min(width() / base_w, height() / base_h);
  control_scale_ = std::max(1.0, 1.0 + (fit - 1.0) / 2);
  const double c = control_scale_;
  auto scaled = [c](const QRect& r) {
    return QRect(qRound(r.x() * c), qRound(r.y() * c), qRound(r.width() * c), qRound(r.height() * c));
  };
  for (const Designed& d : designed_) d.widget->setGeometry(scaled(d.rect));

  if (base_font_.pointSizeF() > 0) {
    QFont f = base_font_;
    f.setPointSizeF(base_font_.pointSizeF() * c);
    setFont(f);
  }

  // Full screen the pictures stand on black, their names in white.
  QPalette palette = base_palette_;
  if (pictures_full_screen_) {
    palette.setColor(QPalette::Window, Qt::black);
    palette.setColor(QPalette::WindowText, Qt::white);
  }
  setPalette(palette);
  setAutoFillBackground(pictures_full_screen_);

  const double area_w = px(kPictureAreaWidth), area_h = px(kPictureAreaHeight);
  QRect area(0, 0, width(), height());
  side_->setVisible(!pictures_full_screen_);
  bottom_->setVisible(!pictures_full_screen_);
  if (!pictures_full_screen_) {
    // The column keeps to the right edge and the bar to the bottom edge.
    const int side_w = qRound((base_w - area_w) * c), bottom_h = qRound((base_h - area_h) * c);
    side_->setGeometry(width() - side_w, 0, side_w, height());
    bottom_->setGeometry(0, height() - bottom_h, width() - side_w, bottom_h);
    area = QRect(0, 0, width() - side_w, height() - bottom_h);
  }
  // The pictures keep the proportions of the design and fill the rest,
  // centred.
  picture_scale_ = std::min(area.width() / area_w, area.height() / area_h);
  picture_origin_ = QPoint(qRound((area.width() - area_w * picture_scale_) / 2),
                           pictures_full_screen_ ? qRound((area.height() - area_h * picture_scale_) / 2) : 0);
  apply_cells();
}

QRect MainView::picture_rect(int left, int top, int w, int h) const {
  const double s = picture_scale_;
  const QRect r = twips(left, top, w, h);
  return QRect(picture_origin_.x() + qRound(r.x() * s), picture_origin_.y() + qRound(r.y() * s), qRound(r.width() * s),
               qRound(r.height() * s));
}

void MainView::apply_cells() {
  if (split_mode_ >= 0 && split_mode_ <= 3) {
    Cell& c = cells_[static_cast<size_t>(split_mode_)];
    if (pictures_full_screen_) {
      // The enlarged camera takes the whole screen in its proportions; its
      // name goes into the margin beside it.
      const QSize size = QSize(10000, 7500).scaled(this->size(), Qt::KeepAspectRatio);
      const QRect picture(QPoint((width() - size.width()) / 2, (height() - size.height()) / 2), size);
      c.picture->setGeometry(picture);
      c.label->setGeometry(0, 0, std::max(picture.left(), c.label->sizeHint().width()), c.label->sizeHint().height());
      c.label->raise();
      return;
    }
    c.label->setGeometry(picture_rect(1450, 800, 10000, 200));
    c.picture->setGeometry(picture_rect(1450, 1000, 10000, 7500));
    return;
  }
  for (int i = 0; i < 4; ++i) {
    const int row = i / 2, column = i % 2;
    Cell& c = cells_[static_cast<size_t>(i)];
    c.label->setGeometry(picture_rect(column * 6400 + 50, row * 4700 + 100, 6300, 300));
    c.picture->setGeometry(picture_rect(column * 6400 + 50, row * 4700 + 400, 6300, 4300));
  }
}

std::vector<QRect> MainView::occupied_rects() const {
  std::vector<QRect> out;
  for (const Cell& c : cells_)
    if (c.picture->isVisible()) out.emplace_back(c.picture->mapToGlobal(QPoint(0, 0)), c.picture->size());
  for (QWidget* panel : {side_, bottom_})
    if (panel->isVisible()) out.emplace_back(panel->mapToGlobal(QPoint(0, 0)), panel->size());
  return out;
}

bool MainView::live_shown() const { return receiving_ && playback_mode_ == kNoPlayback && !back_button_->isEnabled(); }

QString MainView::status_text() const {
  QString source;
  if (playback_mode_ == kDiskPlayback)
    source = tr("HDD再生");
  else if (playback_mode_ == kSavedDataPlayback)
    source = tr("保存動画再生");
  else if (back_button_->isEnabled())
    source = tr("保存静止画");
  else
    return receiving_ ? live_status_text() : QString();
  if (playback_mode_ == kNoPlayback || playback_frame_->isHidden()) return source;
  static constexpr const char* kSpeeds[7] = {"1", "2", "4", "8", "16", "32", "64"};
  QString state;
  if (!playing_)
    state = tr("一時停止");
  else if (ff_level_ > 0)
    state = tr("早送り×%1").arg(QLatin1String(kSpeeds[ff_level_]));
  else if (fr_level_ > 0)
    state = tr("早戻し×%1").arg(QLatin1String(kSpeeds[fr_level_]));
  else if (reverse_)
    state = tr("逆再生");
  else
    state = tr("再生中");
  return tr("%1・%2").arg(source, state);
}

QString MainView::suggested_still_name() const {
  QString recorder = QStringLiteral("velmora");
  if (playback_mode_ == kDiskPlayback)
    recorder = QStringLiteral("HDD");
  else if (playback_mode_ == kSavedDataPlayback)
    recorder = QStringLiteral("copy");
  else if (const RecorderEntry* e = receiving_ ? connections_.entry(entry_number_) : nullptr)
    recorder = QString::fromStdString(e->name);
  const QString camera = cells_[static_cast<size_t>(still_cell())].label->text();
  QString when;
  if (const std::optional<uint32_t> t = still_time()) {
    const vp::RecTime r = vp::rec_time_from_seconds(*t);
    when = QString::asprintf("%04d%02d%02d-%02d%02d%02d", 2000 + r.year, r.month, r.day, r.hour, r.minute, r.second);
  } else {
    when = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
  }
  static const QRegularExpression unsafe(QStringLiteral("[\\\\/:*?\"<>|\\s]+"));
  QString name = recorder.trimmed() + QLatin1Char('_') + camera.trimmed() + QLatin1Char('_') + when;
  return name.replace(unsafe, QStringLiteral("_"));
}

void MainView::update_status() {
  update_still_button();
  const QString text = status_text();
  if (status_label_->text() != text) status_label_->setText(text);
}

void MainView::on_cell_double_clicked(int cell) {
  if (split_mode_ == 4)
    on_camera_key(cell);
  else
    show_four();
}

void MainView::on_camera_key(int cell) {
  // A camera the recorder does not send has its button disabled.
  if (camera_buttons_[static_cast<size_t>(cell)]->isEnabled()) show_single(cell);
}

void MainView::on_escape() {
  if (isFullScreen()) {
    toggle_full_screen();
  } else if (split_mode_ != 4) {
    show_four();
  } else if (back_button_->isEnabled() && !back_button_->isHidden()) {
    leave_playback();
  }
}

void MainView::on_play_pause_key() {
  if (playback_mode_ == kNoPlayback || playback_frame_->isHidden()) return;
  playback_button(playing_ ? PlaybackButton::kStop : PlaybackButton::kPlay);
}

void MainView::on_step_key(Step direction) {
  if (playback_mode_ == kNoPlayback || playback_frame_->isHidden()) return;
  if (playing_) playback_button(PlaybackButton::kStop);
  step(direction);
}

bool MainView::startup(const StartOptions& options) {
  program_folder_ = QDir(options.program_folder).absolutePath();
  start_picture_ = QDir(program_folder_).filePath(QStringLiteral("start.jpg"));
  // The libraries write their pictures under relative names into the
  // current folder: the picture folder in memory, which the program
  // folder's links of the same names reach.
  picture_folder_ = prepare_picture_folder(program_folder_);
  if (!picture_folder_.message.isEmpty())
    std::fprintf(stderr, "velmora: %s\n", picture_folder_.message.toLocal8Bit().constData());
  QDir::setCurrent(picture_folder_.path);

  setWindowTitle(QStringLiteral("Velmora(Ver.%1.%2.%3)")
                     .arg(kVersionMajor)
                     .arg(kVersionMinor, 2, 10, QLatin1Char('0'))
                     .arg(kVersionRevision, 2, 10, QLatin1Char('0')));

  QSize screen = options.screen_size;
  if (screen.isEmpty()) {
    const QScreen* s = QGuiApplication::primaryScreen();
    screen = s ? s->geometry().size() : QSize(1024, 768);
  }
  // The placement works in the screen's twips, the window's size as laid out.
  const ScreenPlacement place = place_main_window(screen.width() * kTwipsPerPixel, screen.height() * kTwipsPerPixel,
                                                  px(kFormWidth) * kTwipsPerPixel, px(kFormHeight) * kTwipsPerPixel);
  if (!place.fits) {
    show_message(this, tr("画面の解像度設定を1024x768以上にしてください。"));
    return false;
  }
  lib::Ovo_set_viewer_mode(0, 6);
  move(place.left / kTwipsPerPixel, place.top / kTwipsPerPixel);
  stored_top_ = place.stored_top;
  stored_left_ = place.stored_left;

  position_frame_->hide();
  playback_frame_->hide();
  sound_frame_->hide();
  data_copy_button_->hide();
  still_button_->hide();
  still_button_->setEnabled(false);
  back_button_->setEnabled(false);

  apply_four_split();
  split_mode_ = 4;

  lib::audio_set(0);
  disk_open_ = false;
  ovo_open_result_ = lib::Ovo_play_open(0, "", "", 0);
  // The live view's pictures are decoded by the library; its decoders are
  // set up once here and torn down at the end.
  decode_init_result_ = lib::decode_init();
  display_rate_ = DisplayRate::kHigh;
  start_pictures_pending_ = false;

  const ViewerSettings sn(QDir(program_folder_).filePath(QString::fromLatin1(kViewerSettingFile)).toStdString());
  const int speed = leading_number(sn.read("speed").value_or(""));
  high_rate_check_->setChecked(speed != 0);
  apply_display_rate(chosen_display_rate());
  every_picture_check_->setChecked(leading_number(sn.read("EveryPicture").value_or("")) != 0);
  apply_every_picture(every_picture_check_->isChecked());

  for (int i = 0; i < 4; ++i) picture_shown_[static_cast<size_t>(i)] = 0;
  show_start_pictures();

  setup_audio_device();

  model_ = 0;
  const Model& m = kModels[model_];
  lib::Ovo_set_viewer_mode(0, m.viewer_mode);
  lib::set_make_bmp_mode(m.bmp_mode);
  setWindowTitle(windowTitle() + QString::fromUtf8(m.caption));
  logo_->set_image(model_logo(m.caption));
  logo_->setVisible(m.logo_shown);

  reset_cell_names();
  read_connection_list();
  started_ = true;
  return true;
}

void MainView::apply_four_split() {
  split_mode_ = 4;
  apply_cells();
  update_cell_labels();
  for (Cell& c : cells_) {
    c.label->setEnabled(true);
    c.label->show();
    c.picture->setEnabled(true);
    c.picture->show();
  }
}

void MainView::update_cell_labels() {
  // While a recorder is received its cameras' names from the list, else the
  // cell numbers.
  for (int i = 0; i < 4; ++i) {
    const QString name = receiving_ ? cell_names_[static_cast<size_t>(i)] : QStringLiteral("CH%1").arg(i + 1);
    cells_[static_cast<size_t>(i)].label->setText(name);
  }
}

MainView::DisplayRate MainView::chosen_display_rate() const {
  return high_rate_check_->isChecked() ? DisplayRate::kHigh : DisplayRate::kNormal;
}

void MainView::apply_display_rate(DisplayRate rate) {
  display_rate_ = rate;
  const bool high = rate == DisplayRate::kHigh;
  refresh_timer_->setInterval(every_picture_ ? kEveryPicturePlaybackMs : high ? 50 : 133);
  if (!high)
    sound_frame_->hide();
  else if (!playback_frame_->isHidden())
    sound_frame_->show();
}

void MainView::on_display_rate_clicked() {
  apply_display_rate(chosen_display_rate());
  const ViewerSettings sn(QDir(program_folder_).filePath(QString::fromLatin1(kViewerSettingFile)).toStdString());
  sn.write("speed", high_rate_check_->isChecked() ? "1" : "0");
}

void MainView::apply_every_picture(bool on) {
  every_picture_ = on;
  apply_display_rate(display_rate_);
  if (on)
    picture_timer_->start();
  else
    picture_timer_->stop();
}

void MainView::on_every_picture_clicked() {
  apply_every_picture(every_picture_check_->isChecked());
  const ViewerSettings sn(QDir(program_folder_).filePath(QString::fromLatin1(kViewerSettingFile)).toStdString());
  sn.write("EveryPicture", every_picture_ ? "1" : "0");
}

void MainView::setup_audio_device() {
  audio_device_ = audio_device_present();
  if (audio_device_) {
    const uint32_t v = audio_volume() & 0xFFFF;
    const int position = v == 65535 ? 20 : std::min<int>(20, static_cast<int>(v / 3072));
    volume_bar_->setValue(position);
    on_volume_changed(position);
    sound_image_->setPixmap(speaker_icon(true));
    mute_check_->setEnabled(true);
    sound_frame_->setEnabled(true);
    volume_bar_->setEnabled(true);
  } else {
    mute_check_->setChecked(true);
    sound_image_->setPixmap(speaker_icon(false));
    sound_frame_->setEnabled(false);
    volume_bar_->setEnabled(false);
    high_rate_check_->setChecked(false);
    apply_display_rate(DisplayRate::kNormal);
    display_rate_frame_->setEnabled(false);
    high_rate_check_->setEnabled(false);
  }
}

void MainView::on_volume_changed(int value) {
  uint32_t volume = static_cast<uint32_t>(value) * 0xC00;
  if (volume >= 65536) volume = 65535;
  if (audio_device_) set_audio_volume((volume << 16) | volume);
}

void MainView::on_mute_toggled() {
  if (mute_check_->isChecked()) {
    if (audio_device_) set_audio_volume(0);
    volume_bar_->setEnabled(false);
  } else {
    volume_bar_->setEnabled(true);
    on_volume_changed(volume_bar_->value());
  }
}

void MainView::read_connection_list() {
  recorder_list_->clear();
  connections_ =
      ConnectionList::load(QDir(program_folder_).filePath(QString::fromLatin1(kLanSettingFile)).toStdString());
  for (const std::string& line : connections_.lines()) {
    // A name too long for the list is cut in the middle; the tooltip has it
    // whole.
    auto* item = new QListWidgetItem(QString::fromStdString(line), recorder_list_);
    item->setToolTip(item->text().trimmed());
  }
}

void MainView::show_start_pictures() {
  for (Cell& c : cells_) c.picture->load(start_picture_);
}

void MainView::load_cell_picture(int cell, const QString& path) {
  if (cell >= 0 && cell < 4) cells_[static_cast<size_t>(cell)].picture->load(path);
}

void MainView::show_start_picture(int cell) { load_cell_picture(cell, start_picture_); }

void MainView::set_wait_cursor() {
  if (cursor_depth_++ == 0) QApplication::setOverrideCursor(Qt::WaitCursor);
}

void MainView::restore_cursor() {
  if (cursor_depth_ > 0 && --cursor_depth_ == 0) QApplication::restoreOverrideCursor();
}

void MainView::closeEvent(QCloseEvent* event) {
  shutdown();
  event->accept();
}

void MainView::shutdown() {
  if (!started_ || shut_down_) {
    // A start that ended early (a screen too small) made the picture folder
    // all the same.
    release_picture_folder();
    return;
  }
  shut_down_ = true;
  // The user sees that the program is ending while the recorder is told.
  connection_label_->setText(tr("終了中"));
  set_wait_cursor();
  if (isVisible()) connection_label_->repaint();
  clock_timer_->stop();
  refresh_timer_->stop();
  picture_timer_->stop();
  // A live stream still running is stopped before its library goes away.
  if (receiving_) stop_stream(StreamStop::kProgramEnd);
  // The libraries' stops only ask their threads to end; a short pause after
  // each step lets them, three tenths of a second each rather than the
  // whole seconds the end used to take.
  lib::hdd_play_stop();
  lib::file_play_stop();
  wait_ms(kShutdownPauseMs);
  if (disk_open_) {
    lib::hdd_close();
    disk_open_ = false;
  }
  lib::file_read_stop();
  lib::hdd_read_stop();
  wait_ms(kShutdownPauseMs);
  // The engine's end waits until its decode thread is gone.
  lib::play_end();
  lib::decode_deinit();
  if (hooks_.close_all) hooks_.close_all();
  while (cursor_depth_ > 0) restore_cursor();
  release_picture_folder();
}

// The pictures in memory go with the program; the links stay for the next
// start.
void MainView::release_picture_folder() {
  if (!picture_folder_.in_memory) return;
  QDir::setCurrent(program_folder_);
  remove_picture_folder(picture_folder_);
  picture_folder_ = PictureFolder{program_folder_, false, QString()};
}

}  // namespace velmora::viewer
