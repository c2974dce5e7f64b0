// Files that are replaced as a whole on every write (the live pictures, the
// still pictures): the bytes go to a new file beside the name, which then
// takes the name's place in one rename. Whatever stood at the name before (a
// symlink planted there included) is replaced, never written through, and a
// reader never sees half a picture.
#pragma once
#include <cstddef>
#include <string>

namespace brin {

class ReplacingFile {
 public:
  // Creates the new file beside path; ok() tells whether that worked.
  explicit ReplacingFile(const char* path);
  // Removes the new file unless commit() has put it in place.
  ~ReplacingFile();
  ReplacingFile(const ReplacingFile&) = delete;
  ReplacingFile& operator=(const ReplacingFile&) = delete;

  bool ok() const { return fd_ >= 0 && !failed_; }
  // Appends bytes; a failure is remembered and makes commit() fail.
  void write(const void* data, size_t len);
  // Puts the file in place of path. False (and nothing replaced) after any
  // failure.
  bool commit();

 private:
  std::string path_;
  std::string temp_;
  int fd_ = -1;
  bool failed_ = false;
};

}  // namespace brin
