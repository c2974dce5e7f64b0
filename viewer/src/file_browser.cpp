#include "file_browser.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <algorithm>

namespace velmora::viewer {
namespace {

constexpr int kPathRole = Qt::UserRole;
constexpr int kFilledRole = Qt::UserRole + 1;

struct Mount {
  QString device;
  QString point;
};

// The mount table's fields escape blanks and other bytes as \ooo.
QString unescape_mount_field(const QByteArray& field) {
  QByteArray out;
  for (int i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      bool ok = false;
      const int v = field.mid(i + 1, 3).toInt(&ok, 8);
      if (ok && v < 256) {
        out.append(static_cast<char>(v));
        i += 3;
        continue;
      }
    }
    out.append(field[i]);
  }
  return QString::fromLocal8Bit(out);
}

std::vector<Mount> mounts() {
  std::vector<Mount> out;
  QFile f(QStringLiteral("/proc/self/mounts"));
  if (!f.open(QIODevice::ReadOnly | QIODevice::Text)) return out;
  while (!f.atEnd()) {
    const QList<QByteArray> fields = f.readLine(4096).simplified().split(' ');
    if (fields.size() < 3) continue;
    out.push_back({unescape_mount_field(fields[0]), unescape_mount_field(fields[1])});
  }
  return out;
}

QString clean_folder(const QString& path) {
  QString p = QDir::cleanPath(QDir(path).absolutePath());
  return p.isEmpty() ? QStringLiteral("/") : p;
}

bool is_under(const QString& path, const QString& mount_point) {
  if (mount_point == QLatin1String("/")) return path.startsWith(QLatin1Char('/'));
  return path == mount_point || path.startsWith(mount_point + QLatin1Char('/'));
}

}  // namespace

QStringList drive_mount_points() {
  QStringList points{QStringLiteral("/")};
  for (const Mount& m : mounts())
    if (m.device.startsWith(QLatin1String("/dev/")) && !points.contains(m.point)) points << m.point;
  std::sort(points.begin(), points.end());
  return points;
}

QString drive_of(const QString& path) {
  const QString p = clean_folder(path);
  QString best = QStringLiteral("/");
  for (const Mount& m : mounts())
    if (is_under(p, m.point) && m.point.size() > best.size()) best = m.point;
  return best;
}

QString join_path(const QString& folder, const QString& name) {
  if (folder.endsWith(QLatin1Char('/'))) return folder + name;
  return folder + QLatin1Char('/') + name;
}

// ---- DriveList

DriveList::DriveList(QWidget* parent) : QComboBox(parent) {
  setObjectName(QStringLiteral("Drive1"));
  addItems(drive_mount_points());
  connect(this, &QComboBox::activated, this, [this](int) { emit drive_changed(drive()); });
}

void DriveList::set_drive_for(const QString& path) {
  const QString drive = drive_of(path);
  int i = findText(drive);
  if (i < 0) {
    addItem(drive);
    i = count() - 1;
  }
  const QSignalBlocker block(this);
  setCurrentIndex(i);
}

// ---- FolderTree

FolderTree::FolderTree(QWidget* parent) : QTreeWidget(parent) {
  setObjectName(QStringLiteral("Dir1"));
  setColumnCount(1);
  header()->hide();
  setUniformRowHeights(true);
  connect(this, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem* item) { fill(item); });
  connect(this, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item, int) {
    path_ = item->data(0, kPathRole).toString();
    emit folder_clicked(path_);
  });
}

QTreeWidgetItem* FolderTree::add_folder(QTreeWidgetItem* parent, const QString& path, const QString& label) {
  auto* item = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(this);
  item->setText(0, label);
  item->setData(0, kPathRole, path);
  item->setData(0, kFilledRole, false);
  item->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
  return item;
}

// Lists a folder's subfolders under its item, once (refresh() forgets).
void FolderTree::fill(QTreeWidgetItem* item) {
  if (item->data(0, kFilledRole).toBool()) return;
  item->setData(0, kFilledRole, true);
  const QString path = item->data(0, kPathRole).toString();
  const QStringList names =
      QDir(path).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks, QDir::Name | QDir::IgnoreCase);
  for (const QString& name : names) add_folder(item, join_path(path, name), name);
  item->setChildIndicatorPolicy(names.isEmpty() ? QTreeWidgetItem::DontShowIndicator : QTreeWidgetItem::ShowIndicator);
}

QTreeWidgetItem* FolderTree::child_for(QTreeWidgetItem* item, const QString& path) {
  fill(item);
  for (int i = 0; i < item->childCount(); ++i)
    if (item->child(i)->data(0, kPathRole).toString() == path) return item->child(i);
  // A folder the listing leaves out (a hidden one, or a link) is still shown
  // when it is on the way to the current folder.
  return add_folder(item, path, QFileInfo(path).fileName());
}

bool FolderTree::set_path(const QString& folder) {
  const QString target = clean_folder(folder);
  const QFileInfo info(target);
  if (!info.isDir() || !info.isReadable()) return false;
  const QString drive = drive_of(target);
  clear();
  QTreeWidgetItem* item = add_folder(nullptr, drive, drive);
  // The folders between the drive and the target, one level at a time.
  QString at = drive;
  for (const QString& part : target.mid(drive.size()).split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
    at = join_path(at, part);
    item->setExpanded(true);
    item = child_for(item, at);
  }
  fill(item);
  setCurrentItem(item);
  scrollToItem(item);
  path_ = target;
  return true;
}

void FolderTree::refresh() {
  if (path_.isEmpty() || !set_path(path_)) {
    // The current folder is gone: the nearest existing one above it.
    QString up = path_;
    while (!up.isEmpty() && up != QLatin1String("/") && !QFileInfo(up).isDir()) up = QFileInfo(up).path();
    set_path(up.isEmpty() ? QStringLiteral("/") : up);
  }
}

// ---- FileList

FileList::FileList(const QString& pattern, QWidget* parent)
    : QListWidget(parent), patterns_(pattern.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
  setObjectName(QStringLiteral("File1"));
  connect(this, &QListWidget::itemClicked, this, [this](QListWidgetItem* item) { emit file_clicked(item->text()); });
}

void FileList::set_folder(const QString& folder) {
  folder_ = folder;
  clear();
  addItems(QDir(folder).entryList(patterns_, QDir::Files, QDir::Name | QDir::IgnoreCase));
}

}  // namespace velmora::viewer
