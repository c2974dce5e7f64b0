#include "common/replace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

namespace brin {

ReplacingFile::ReplacingFile(const char* path) {
  if (!path || !*path) return;
  path_ = path;
  std::vector<char> name(path_.begin(), path_.end());
  for (char c : std::string(".XXXXXX")) name.push_back(c);
  name.push_back('\0');
  // mkstemp creates the file new (O_EXCL): it never opens an existing name.
  fd_ = ::mkstemp(name.data());
  if (fd_ < 0) return;
  temp_ = name.data();
  // Readable by others, as pictures are (mkstemp makes the file private).
  (void)::fchmod(fd_, 0644);
}

ReplacingFile::~ReplacingFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!temp_.empty()) ::unlink(temp_.c_str());
}

void ReplacingFile::write(const void* data, size_t len) {
  if (!ok()) return;
  const auto* p = static_cast<const char*>(data);
  while (len > 0) {
    const ssize_t n = ::write(fd_, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failed_ = true;
      return;
    }
    p += n;
    len -= static_cast<size_t>(n);
  }
}

bool ReplacingFile::commit() {
  if (!ok()) return false;
  const bool closed = ::close(fd_) == 0;
  fd_ = -1;
  if (!closed || std::rename(temp_.c_str(), path_.c_str()) != 0) return false;
  temp_.clear();
  return true;
}

}  // namespace brin
