#include "sub_window.h"

#include <QDir>
#include <QFileInfo>
#include <QPushButton>

#include "mainview.h"
#include "ui_support.h"
#include "velmora/rectime.h"

namespace velmora::viewer {

QString rec_time_text(uint32_t rec_seconds) {
  const vp::RecTime t = vp::rec_time_from_seconds(rec_seconds);
  return QString::asprintf("%04d/%02d/%02d %02d:%02d:%02d", 2000 + t.year, t.month, t.day, t.hour, t.minute, t.second);
}

QRect twips_rect(int left, int top, int width, int height) { return QRect(px(left), px(top), px(width), px(height)); }

SubWindow::SubWindow(MainView& main, const char* name, const QString& caption, int width_twips, int height_twips)
    : QWidget(&main, Qt::Window | Qt::WindowStaysOnTopHint), main_(main) {
  setObjectName(QString::fromLatin1(name));
  setWindowTitle(caption);
  setAttribute(Qt::WA_DeleteOnClose);
  setFixedSize(px(width_twips), px(height_twips));
  move(main.stored_placement());
  cmd_back_ = new QPushButton(QStringLiteral("戻る"), this);
  cmd_back_->setObjectName(QStringLiteral("cmdBack"));
  cmd_back_->setGeometry(twips_rect(width_twips - 1300, height_twips - 600, 1150, 450));
  connect(cmd_back_, &QPushButton::clicked, this, &QWidget::close);
  cmd_back_->hide();
}

ViewerSettings SubWindow::settings() const {
  return ViewerSettings(QDir(main_.program_folder()).filePath(QString::fromLatin1(kViewerSettingFile)).toStdString());
}

FolderChooser::FolderChooser(QWidget* frame, QLineEdit* path_box, QRect drive_rect, QRect tree_rect)
    : QObject(frame), path_box_(path_box) {
  drive1_ = new DriveList(frame);
  drive1_->setGeometry(drive_rect);
  dir1_ = new FolderTree(frame);
  dir1_->setGeometry(tree_rect);
  connect(drive1_, &DriveList::drive_changed, this, [this](const QString& drive) {
    // A drive that cannot be read falls back to the root.
    if (!dir1_->set_path(drive)) {
      dir1_->set_path(QStringLiteral("/"));
      drive1_->set_drive_for(QStringLiteral("/"));
    }
    emit folder_shown(dir1_->path());
  });
  connect(dir1_, &FolderTree::folder_clicked, this, [this](const QString& path) {
    path_box_->setText(path);
    emit folder_clicked(path);
    emit folder_shown(path);
  });
}

void FolderChooser::show_folder(const QString& folder) {
  if (dir1_->set_path(folder)) drive1_->set_drive_for(folder);
}

void FolderChooser::start_at(const std::optional<std::string>& stored) {
  if (stored) {
    const QString folder = QString::fromStdString(*stored).trimmed();
    path_box_->setText(folder);
    if (dir1_->set_path(folder)) {
      drive1_->set_drive_for(folder);
      return;
    }
  }
  // Without a stored folder the current one is the destination, shown in
  // the path box so that nothing is written to a folder the user did not see.
  show_folder(QDir::currentPath());
  if (!stored) path_box_->setText(dir1_->path());
}

std::optional<QString> create_named_folder(QWidget* parent, const QString& base, const QString& name) {
  if (name.isEmpty()) {
    show_message(parent, QStringLiteral("フォルダー名がありません"));
    return std::nullopt;
  }
  const QString path = join_path(base, name);
  // One level, as a user names it: a name with a "/" or of an existing
  // folder cannot be made.
  if (base.isEmpty() || name.contains(QLatin1Char('/')) || !QDir().mkdir(path)) {
    show_message(parent, path + QStringLiteral("は作成できません。"));
    return std::nullopt;
  }
  return QDir::cleanPath(path);
}

}  // namespace velmora::viewer
