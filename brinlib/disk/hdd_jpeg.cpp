// The JPEG picture area of the disk: pictures stored one after another, each
// starting on a sector boundary, with the two bytes of every 16-bit word
// exchanged ("disk order").
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "brinlib.h"
#include "common/guard.h"
#include "disk/hdd.h"

namespace brin::disk {
namespace {

constexpr int32_t kMaxPictureBytes = 0x40000;
constexpr int kSearchRoundSectors = 128;
constexpr int kSearchRounds = 256;
constexpr int32_t kSkipAfterUnreadable = 129;
constexpr size_t kNameBytes = 64;

// Set after a picture read failed: the next reads go sector by sector, so a
// bad sector costs only itself, until a whole read succeeds again.
bool g_previous_read_failed = false;

int read_picture_sectors(int64_t sector, int count, uint8_t* dest) {
  if (sector < 0 || sector > INT32_MAX) return -2;
  if (!g_previous_read_failed) {
    if (read_sectors(static_cast<int32_t>(sector), count, dest) != 0) {
      g_previous_read_failed = true;
      return -2;
    }
    return 0;
  }
  for (int i = 0; i < count; ++i) {
    const int64_t s = sector + i;
    if (s > INT32_MAX || read_sectors(static_cast<int32_t>(s), 1, dest + i * kSectorBytes) != 0) return -2;
  }
  g_previous_read_failed = false;
  return 0;
}

int32_t clamp_sector(int64_t s) { return static_cast<int32_t>(std::clamp<int64_t>(s, INT32_MIN, INT32_MAX)); }

}  // namespace
}  // namespace brin::disk

using namespace brin::disk;

extern "C" {

int32_t hdd_read_jpeg(int32_t* sector_io, int32_t area_start, int32_t area_sectors, int32_t k, uint8_t* buffer,
                      char* name) {
  return brin::guarded(-3, [&]() -> int32_t {
    if (!sector_io || !buffer) return -3;
    const int64_t s = *sector_io;
    if (read_picture_sectors(s, 1, buffer) != 0) {
      *sector_io = clamp_sector(s + kSkipAfterUnreadable);
      return -3;
    }
    const uint8_t* h = buffer;
    const int32_t length = (h[40] << 16) | (h[43] << 8) | h[42];
    if (h[0] == 0xD8 && h[1] == 0xFF && length < kMaxPictureBytes) {
      if (name) {
        std::snprintf(name, kNameBytes, "%d_%02d%02d%02d_%02d%02d%02d%d_%x.jpg", k, h[35], h[34], h[37], h[36], h[39],
                      h[38], h[41] & 15, (h[24] << 8) + h[25]);
      }
      // A picture occupies at least its header sector, so that a header with
      // length 0 does not hold the cursor on the same sector for ever.
      const int64_t next = s + std::max<int64_t>(1, (length + kSectorBytes - 1) / kSectorBytes);
      if (k == 0) {
        *sector_io = clamp_sector(next);
        return length;
      }
      const int rest = length / static_cast<int32_t>(kSectorBytes);
      const int r = rest > 0 ? read_picture_sectors(s + 1, rest, buffer + kSectorBytes) : 0;
      *sector_io = clamp_sector(next);
      return r != 0 ? -5 : length;
    }
    // Not a picture start: look for the next sector that begins with D8 FF,
    // inside the area only.
    const int64_t area_end = static_cast<int64_t>(area_start) + area_sectors;
    int64_t t = s + 1;
    for (int round = 0; round < kSearchRounds; ++round) {
      if (t >= area_end) {
        *sector_io = clamp_sector(t);
        return -7;
      }
      if (read_picture_sectors(t, kSearchRoundSectors, buffer) == 0) {
        for (int i = 0; i < kSearchRoundSectors && t + i < area_end; ++i) {
          const uint8_t* p = buffer + i * kSectorBytes;
          if (p[0] == 0xD8 && p[1] == 0xFF) {
            *sector_io = clamp_sector(t + i);
            return -6;
          }
        }
      }
      t += kSearchRoundSectors;
    }
    *sector_io = clamp_sector(t);
    return -2;
  });
}

int32_t hdd_write_jpeg_file(const char* path, int32_t length, uint8_t* buffer, int32_t total) {
  return brin::guarded(-2, [&]() -> int32_t {
    if (!path) return -1;
    // A saved picture is evidence: it is created new, never replacing a file
    // already there and never written through a symlink planted at the name.
    if (length < 0 || (length > 0 && !buffer)) return -2;
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    for (int32_t i = 0; i + 1 < length; i += 2) std::swap(buffer[i], buffer[i + 1]);
    size_t written = 0;
    while (written < static_cast<size_t>(length)) {
      const ssize_t n = ::write(fd, buffer + written, static_cast<size_t>(length) - written);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      written += static_cast<size_t>(n);
    }
    const bool closed = ::close(fd) == 0;
    if (written != static_cast<size_t>(length) || !closed) return -2;
    return static_cast<int32_t>(static_cast<uint32_t>(total) + static_cast<uint32_t>(length));
  });
}

int32_t read_jpeg_head_com(const char* path, uint8_t* head) {
  return brin::guarded(0, [&]() -> int32_t {
    if (!path) return 0;
    FILE* f = std::fopen(path, "rb");
    if (!f) return 0;
    uint8_t local[16];
    uint8_t* h = head ? head : local;
    const size_t n = std::fread(h, 1, 16, f);
    std::fclose(f);
    if (n < 16) return static_cast<int32_t>(n);
    const int nibble = h[7] >> 4;
    return (nibble & 7) * 2 + (nibble >= 8 ? 1 : 0);
  });
}

}  // extern "C"
