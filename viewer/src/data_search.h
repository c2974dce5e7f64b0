// The two windows that find data saved on the PC:
//  - "RDataSearch" lists the recordings copied from a recorder disk that lie
//    in a chosen folder and its copy folders rec00 to rec99, and plays a
//    chosen one in the main window;
//  - "SDataSearch" lists the saved picture files ("*.mpi", one stored
//    frame each) of a folder and shows a chosen one in the main window's
//    four pictures.
#pragma once
#include <vector>

#include "saved_lists.h"
#include "sub_window.h"

class QListWidget;

namespace velmora::viewer {

class RDataSearch : public SubWindow {
  Q_OBJECT
 public:
  // One listed recording: the folder of its data files and its model
  // (0: "ZEB.dat" from "list.ZEB"; 1: "ZQ700.dat" from "list.ZQ7").
  struct Entry {
    QString folder;
    int model = 0;
    CopyListEntry line;
  };

  explicit RDataSearch(MainView& main);

  // Lists the recordings of the folder in txtF (also when txtF names a list
  // file itself).
  void fill_list();
  // Plays listed recording row in the main window.
  void play(int row);
  const std::vector<Entry>& entries() const { return entries_; }

 private:
  QLineEdit* folder_box_ = nullptr;
  FolderChooser* folders_ = nullptr;
  QListWidget* data_file_list_ = nullptr;  // "List1"
  std::vector<Entry> entries_;
};

class SDataSearch : public SubWindow {
  Q_OBJECT
 public:
  explicit SDataSearch(MainView& main);

  // Shows the saved picture file name of the listed folder.
  void show_picture(const QString& name);

 private:
  QLineEdit* folder_box_ = nullptr;
  FolderChooser* folders_ = nullptr;
  FileList* picture_list_ = nullptr;
};

// The file in folder named name, or failing that the one whose name differs
// only in letter case (the copy writes "List.ZEB", the lists are looked up
// as "list.ZEB"). Empty when there is none.
QString find_file_any_case(const QString& folder, const QString& name);

}  // namespace velmora::viewer
