#include "sub_window.h"

#include <QDir>
#include <QFileInfo>
#include <QPushButton>
#include <QScreen>
#include <algorithm>

#include "mainview.h"
#include "ui_support.h"
#include "velmora/rectime.h"

namespace velmora::viewer {

QString rec_time_text(uint32_t rec_seconds) {
  const vp::RecTime t = vp::rec_time_from_seconds(rec_seconds);
  return QString::asprintf("%04d/%02d/%02d %02d:%02d:%02d", 2000 + t.year, t.month, t.day, t.hour, t.minute, t.second);
}

QRect twips_rect(int left, int top, int width, int height) { return QRect(px(left), px(top), px(width), px(height)); }

QPoint place_beside(const QRect& main, const std::vector<QRect>& occupied, const QSize& size, const QRect& screen) {
  constexpr int kGap = 4;
  // Slides a rectangle onto the screen as far as it goes.
  auto on_screen = [&](QPoint p) {
    p.setX(std::clamp(p.x(), screen.left(), std::max(screen.left(), screen.right() + 1 - size.width())));
    p.setY(std::clamp(p.y(), screen.top(), std::max(screen.top(), screen.bottom() + 1 - size.height())));
    return p;
  };
  const QPoint sides[] = {
      {main.right() + 1 + kGap, main.top()},
      {main.left() - kGap - size.width(), main.top()},
      {main.left(), main.bottom() + 1 + kGap},
      {main.left(), main.top() - kGap - size.height()},
  };
  for (const QPoint& p : sides) {
    const QRect r(on_screen(p), size);
    if (screen.contains(r) && !r.intersects(main)) return r.topLeft();
  }
  // No room beside it: of the sides and the screen's corners, the place that
  // hides least of the pictures and controls.
  auto covered = [&](const QRect& r) {
    long area = 0;
    for (const QRect& o : occupied) {
      const QRect i = r.intersected(o);
      if (!i.isEmpty()) area += static_cast<long>(i.width()) * i.height();
    }
    return area;
  };
  std::vector<QPoint> candidates(std::begin(sides), std::end(sides));
  const int right = screen.right() + 1 - size.width(), bottom = screen.bottom() + 1 - size.height();
  for (QPoint corner :
       {screen.topLeft(), QPoint(right, screen.top()), QPoint(screen.left(), bottom), QPoint(right, bottom)})
    candidates.push_back(corner);
  QPoint best = on_screen(candidates.front());
  long least = covered(QRect(best, size));
  for (const QPoint& p : candidates) {
    const QPoint at = on_screen(p);
    const long c = covered(QRect(at, size));
    if (c < least) {
      least = c;
      best = at;
    }
  }
  return best;
}

SubWindow::SubWindow(MainView& main, const char* name, const QString& caption, int width_twips, int height_twips)
    : QWidget(&main, Qt::Window | Qt::WindowStaysOnTopHint), main_(main) {
  setObjectName(QString::fromLatin1(name));
  setWindowTitle(caption);
  setAttribute(Qt::WA_DeleteOnClose);
  setFixedSize(px(width_twips), px(height_twips));
  // A first place; where it goes beside the main window is decided when it
  // is shown (the main window may have moved or grown since).
  move(main.stored_placement());
  back_button_ = new QPushButton(tr("戻る"), this);
  back_button_->setObjectName(QStringLiteral("cmdBack"));
  back_button_->setGeometry(twips_rect(width_twips - 1300, height_twips - 600, 1150, 450));
  connect(back_button_, &QPushButton::clicked, this, &QWidget::close);
  back_button_->hide();
}

void SubWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (placed_) return;
  placed_ = true;
  const QScreen* screen = main_.screen();
  if (!screen) return;
  const QRect area = screen->availableGeometry();
  // The frame the window system adds, as the main window has it.
  const QSize frame = main_.frameGeometry().size() - main_.geometry().size();
  const QSize outer = size() + frame;
  QRect main_rect = main_.frameGeometry();
  // A main window at its usual size that leaves no room at either side moves
  // over to one edge when that makes room.
  const bool movable = !(main_.windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen));
  const bool room_right = main_rect.right() + 1 + outer.width() <= area.right() + 1;
  const bool room_left = main_rect.left() - outer.width() >= area.left();
  if (movable && !room_right && !room_left && main_rect.width() + outer.width() <= area.width()) {
    const int left = std::max(area.left(), area.right() + 1 - outer.width() - main_rect.width());
    main_.move(main_.pos() + QPoint(std::min(left, main_rect.left()) - main_rect.left(), 0));
    main_rect = main_.frameGeometry();
  }
  move(place_beside(main_rect, main_.occupied_rects(), outer, area));
}

ViewerSettings SubWindow::settings() const {
  return ViewerSettings(QDir(main_.program_folder()).filePath(QString::fromLatin1(kViewerSettingFile)).toStdString());
}

FolderChooser::FolderChooser(QWidget* frame, QLineEdit* path_box, QRect drive_rect, QRect tree_rect)
    : QObject(frame), path_box_(path_box) {
  drive_list_ = new DriveList(frame);
  drive_list_->setGeometry(drive_rect);
  folder_tree_ = new FolderTree(frame);
  folder_tree_->setGeometry(tree_rect);
  connect(drive_list_, &DriveList::drive_changed, this, [this](const QString& drive) {
    // A drive that cannot be read falls back to the root.
    if (!folder_tree_->set_path(drive)) {
      folder_tree_->set_path(QStringLiteral("/"));
      drive_list_->set_drive_for(QStringLiteral("/"));
    }
    emit folder_shown(folder_tree_->path());
  });
  connect(folder_tree_, &FolderTree::folder_clicked, this, [this](const QString& path) {
    path_box_->setText(path);
    emit folder_clicked(path);
    emit folder_shown(path);
  });
}

void FolderChooser::show_folder(const QString& folder) {
  if (folder_tree_->set_path(folder)) drive_list_->set_drive_for(folder);
}

void FolderChooser::start_at(const std::optional<std::string>& stored, const QString& program_folder) {
  if (stored) {
    const QString folder = QString::fromStdString(*stored).trimmed();
    path_box_->setText(folder);
    if (folder_tree_->set_path(folder)) {
      drive_list_->set_drive_for(folder);
      return;
    }
  }
  // Without a stored folder the program folder is the destination, shown in
  // the path box so that nothing is written to a folder the user did not see.
  show_folder(program_folder);
  if (!stored) path_box_->setText(folder_tree_->path());
}

std::optional<QString> create_named_folder(QWidget* parent, const QString& base, const QString& name) {
  if (name.isEmpty()) {
    show_message(parent, SubWindow::tr("フォルダー名がありません"));
    return std::nullopt;
  }
  const QString path = join_path(base, name);
  // One level, as a user names it: a name with a "/" or of an existing
  // folder cannot be made.
  if (base.isEmpty() || name.contains(QLatin1Char('/')) || !QDir().mkdir(path)) {
    show_message(parent, SubWindow::tr("%1は作成できません。").arg(path));
    return std::nullopt;
  }
  return QDir::cleanPath(path);
}

}  // namespace velmora::viewer
