// The program folder: the per-user folder that holds the settings files
// ("lansetting.ini", "sn.ini"), the start picture "start.jpg", the "img"
// folder of live pictures and the picture files of playback. The viewer makes
// it the current folder at start, so that the libraries' relative file names
// land in it.
#pragma once
#include <QString>

namespace velmora::viewer {

// The folder named by VELMORA_HOME, else ~/.local/share/velmora.
QString default_program_folder();

// Creates what a fresh program folder needs and is missing: the folder, its
// "img" folder (unless a link stands in its place), the start picture and an "sn.ini" with "High" set. False (with a
// reason) when the folder cannot be made or written.
bool prepare_program_folder(const QString& folder, QString* error);

// The per-picture files: the "img" folder of live pictures, the played
// pictures "bmp1.bmp" to "bmp4.bmp" and the still's work file "work.dat".
// They change many times a second, so they live in a folder in memory; the
// program folder holds symbolic links of the same names to them, so that
// every name relative to the program folder still reaches them.
inline constexpr const char* kPictureFileNames[] = {"img", "bmp1.bmp", "bmp2.bmp", "bmp3.bmp", "bmp4.bmp", "work.dat"};

struct PictureFolder {
  // Where the per-picture files are written: the folder in memory, else the
  // program folder itself.
  QString path;
  bool in_memory = false;
  // Why the program folder is used, when it is.
  QString message;
};

// The private folder in memory for a program folder: under
// $XDG_RUNTIME_DIR, else under /dev/shm. Made with mode 0700 when missing;
// an existing one is used only when it is a real folder (not a link) owned
// by this user and closed to everyone else. Empty (with the reason) when
// neither place can give one.
QString runtime_picture_folder(const QString& program_folder, QString* why);

// Makes the picture folder of a program folder and links the per-picture
// names of the program folder to it (a link, file or "img" folder of an
// earlier run in their place is replaced; nothing is written through an
// existing link). Without a folder in memory the files stay in the program
// folder, as the message says.
PictureFolder prepare_picture_folder(const QString& program_folder);

// Removes the folder in memory and what it holds (nothing when the picture
// folder is the program folder). The program folder's links stay and are
// made again at the next start.
void remove_picture_folder(const PictureFolder& folder);

// Draws the start picture shown in cells without a live or played picture.
bool write_start_picture(const QString& path);

// One running viewer per program folder: holds an exclusive lock on
// "velmora.lock" in the folder while the object lives.
class InstanceLock {
 public:
  InstanceLock() = default;
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;
  // False when another viewer holds the folder's lock (or the lock file
  // cannot be opened).
  bool acquire(const QString& folder);
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace velmora::viewer
