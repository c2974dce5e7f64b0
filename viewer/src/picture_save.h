// The picture save window "PicSave": shows the picture that the main
// window's still-picture button put into the work file "work.dat" and saves
// it as a JPEG file, or a lossless PNG file, under a chosen name in a chosen
// folder. Half-height pictures (704 x 240) are saved at twice their height.
#pragma once
#include <QByteArray>
#include <QImage>

#include "mainview.h"
#include "sub_window.h"

class QComboBox;
class QLabel;

namespace velmora::viewer {

class PictureBox;

// The work file of the program folder that the window saves from.
inline constexpr const char* kPictureWorkFile = "work.dat";

// The still-picture button's part: writes the picture of the chosen cell, at
// its full size, to the work file in the picture folder (which the program
// folder's "work.dat" links to) as a BMP. An old work file goes first, so
// that a picture that cannot be written is never replaced by an older one.
bool prepare_picture_work_file(const QString& picture_folder, const QImage& picture);

// Puts a comment segment (what the picture shows: camera and time) into a
// JPEG file, after its JFIF header when it has one. False when the file is
// not a JPEG file or cannot be rewritten.
bool add_jpeg_comment(const QString& path, const QByteArray& text);

class PicSave : public SubWindow {
  Q_OBJECT
 public:
  explicit PicSave(MainView& main);

  // The save button.
  void save();
  // "参照": the destination folder in the desktop's file manager, or, when
  // there is none, in a folder dialog of the program's own that chooses it.
  void show_folder();

 private:
  // Writes the work file's picture as a PNG file with what it shows in its
  // text chunks. False when it cannot.
  bool write_png(const QString& work, const QString& path) const;

  QString comment_;                      // written into the saved picture
  MainView::StillFacts facts_;           // likewise, field by field (PNG)
  QComboBox* type_box_ = nullptr;        // "cboType": JPEG or PNG
  QLabel* extension_label_ = nullptr;    // "Label1"
  PictureBox* preview_ = nullptr;        // "Image1"
  QLineEdit* folder_box_ = nullptr;      // "TextF": destination folder
  QLineEdit* file_name_box_ = nullptr;   // "txtF": file name without ".jpg"
  QLineEdit* new_folder_box_ = nullptr;  // "Text1": new folder name
  FolderChooser* folders_ = nullptr;
};

}  // namespace velmora::viewer
