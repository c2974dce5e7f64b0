// What the viewer's other windows share: they belong to the main window,
// open where it keeps their place, stay above other windows, carry a hidden
// "戻る" button (the main window's own closes them), read and write the
// viewer's settings file, and choose folders with a drive list, a folder
// tree and a path box.
#pragma once
#include <QGroupBox>
#include <QLineEdit>
#include <QWidget>
#include <cstdint>
#include <optional>
#include <vector>

#include "file_browser.h"
#include "settings.h"

class QPushButton;

namespace velmora::viewer {

class MainView;

// "yyyy/mm/dd hh:nn:ss" of a RecSeconds time.
QString rec_time_text(uint32_t rec_seconds);
// Rectangles of the layouts, given in twips.
QRect twips_rect(int left, int top, int width, int height);

// Where a window of the given outer size opens next to the main window
// (main, its outer rectangle), all in global pixels: right of it, else left,
// below or above, wholly on the screen. When no side has room, the place on
// the screen that covers least of what the main window shows (occupied: its
// pictures and controls).
QPoint place_beside(const QRect& main, const std::vector<QRect>& occupied, const QSize& size, const QRect& screen);

class SubWindow : public QWidget {
  Q_OBJECT
 public:
  MainView& main_view() const { return main_; }

 protected:
  SubWindow(MainView& main, const char* name, const QString& caption, int width_twips, int height_twips);
  ViewerSettings settings() const;
  QPushButton* back_button_ = nullptr;  // "cmdBack"

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  MainView& main_;
  bool placed_ = false;
};

// The drive list and folder tree of a window, kept in step with a path box:
// choosing a drive shows its folders; clicking a folder writes it into the
// path box.
class FolderChooser : public QObject {
  Q_OBJECT
 public:
  FolderChooser(QWidget* frame, QLineEdit* path_box, QRect drive_rect, QRect tree_rect);
  DriveList* drives() const { return drive_list_; }
  FolderTree* tree() const { return folder_tree_; }
  // Puts a stored folder into the path box (trimmed) and shows it; without
  // one, the program folder.
  void start_at(const std::optional<std::string>& stored, const QString& program_folder);
  // Shows folder in the drive list and the tree (the path box is left
  // alone).
  void show_folder(const QString& folder);

 signals:
  // The user clicked a folder (it is in the path box now).
  void folder_clicked(const QString& path);
  // The tree shows another folder: one clicked, or a chosen drive's root.
  void folder_shown(const QString& path);

 private:
  DriveList* drive_list_;
  FolderTree* folder_tree_;
  QLineEdit* path_box_;
};

// Makes the folder base + "/" + name (one level). Shows "フォルダー名がありません"
// for an empty name and the path followed by "は作成できません。" when it
// cannot be made. The new folder's path, or nothing.
std::optional<QString> create_named_folder(QWidget* parent, const QString& base, const QString& name);

}  // namespace velmora::viewer
