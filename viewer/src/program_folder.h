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
// "img" folder, the start picture and an "sn.ini" with "High" set. False (with a reason)
// when the folder cannot be made or written.
bool prepare_program_folder(const QString& folder, QString* error);

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
