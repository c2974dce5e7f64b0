// The picture save window "PicSave": shows the picture that the main
// window's still-picture button put into the work file "work.dat" and saves
// it as a JPEG file under a chosen name in a chosen folder. Half-height
// pictures (704 x 240) are saved at twice their height.
#pragma once
#include "sub_window.h"

namespace velmora::viewer {

class PictureBox;

// The work file of the program folder that the window saves from.
inline constexpr const char* kPictureWorkFile = "work.dat";

// The still-picture button's part: copies the picture of the shown view
// ("bmp1.bmp" to "bmp4.bmp" for the single views of cells 0 to 3, "bmp1.bmp"
// for the four-picture view) to the work file. An old work file goes first,
// so that a picture that cannot be copied is never replaced by an older one.
bool prepare_picture_work_file(const QString& program_folder, int split_mode);

class PicSave : public SubWindow {
  Q_OBJECT
 public:
  explicit PicSave(MainView& main);

  // The save button.
  void save();

 private:
  PictureBox* image1_ = nullptr;
  QLineEdit* text_f_ = nullptr;  // destination folder
  QLineEdit* txt_f_ = nullptr;   // file name without ".jpg"
  QLineEdit* text1_ = nullptr;   // new folder name
  FolderChooser* folders_ = nullptr;
};

}  // namespace velmora::viewer
