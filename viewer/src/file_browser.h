// The drive list, folder tree and file list of the viewer's windows, over
// the Linux file system: a "drive" is a mounted file system (its mount
// point), the folder tree shows the folders of the chosen drive down to the
// current folder, and the file list shows the files of one folder that match
// a pattern. Controls carry the object names "Drive1", "Dir1" and "File1".
#pragma once
#include <QComboBox>
#include <QListWidget>
#include <QString>
#include <QStringList>
#include <QTreeWidget>

namespace velmora::viewer {

// The mount points the drive list offers: "/" and every mounted block
// device, sorted. (Read from /proc/self/mounts.)
QStringList drive_mount_points();
// The mount point that holds path: the longest mounted prefix, "/" at least.
QString drive_of(const QString& path);
// folder + "/" + name, without doubling a "/" that ends folder.
QString join_path(const QString& folder, const QString& name);

class DriveList : public QComboBox {
  Q_OBJECT
 public:
  explicit DriveList(QWidget* parent = nullptr);
  // The chosen drive's mount point.
  QString drive() const { return currentText(); }
  // Chooses the drive that holds path (added to the list when missing);
  // emits nothing.
  void set_drive_for(const QString& path);

 signals:
  // The user chose another drive.
  void drive_changed(const QString& mount_point);
};

class FolderTree : public QTreeWidget {
  Q_OBJECT
 public:
  explicit FolderTree(QWidget* parent = nullptr);
  // The current folder (absolute, without a final "/" except for "/").
  QString path() const { return path_; }
  // Shows the folders from the drive holding folder down to folder and
  // selects it; false (nothing changes) when folder is not a readable
  // folder.
  bool set_path(const QString& folder);
  // Reads the shown folders again (after folders were made or removed).
  void refresh();

 signals:
  // The user clicked a folder.
  void folder_clicked(const QString& path);

 private:
  QTreeWidgetItem* add_folder(QTreeWidgetItem* parent, const QString& path, const QString& label);
  void fill(QTreeWidgetItem* item);
  QTreeWidgetItem* child_for(QTreeWidgetItem* item, const QString& path);

  QString path_;
};

// The still pictures the still browser lists: the recorder's saved frames
// and the pictures the program saves (JPEG, and BMP from other tools).
inline constexpr const char* kSavedPicturePatterns = "*.mpi;*.jpg;*.jpeg;*.bmp";

class FileList : public QListWidget {
  Q_OBJECT
 public:
  // pattern: one or more name patterns separated by ";".
  explicit FileList(const QString& pattern, QWidget* parent = nullptr);
  // Lists the files of folder that match the pattern (by name, sorted).
  void set_folder(const QString& folder);
  QString folder() const { return folder_; }
  void refresh() { set_folder(folder_); }

 signals:
  void file_clicked(const QString& name);

 private:
  QStringList patterns_;
  QString folder_;
};

}  // namespace velmora::viewer
