// The exported conversions. Each one runs under the library's lock, keeps
// what it learnt of the picture in the record that readmem copies, and turns
// an escaping allocation failure into its memory code.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "bmp.h"
#include "codes.h"
#include "decoder.h"
#include "encoder.h"
#include "jpegkit.h"
#include "multipic.h"
#include "record.h"

namespace jk {
namespace {

std::mutex g_lock;

// Reads a whole file of at most limit bytes. Returns false when it cannot be
// opened or read; a longer file is cut at limit.
bool read_whole(const char* path, std::vector<uint8_t>& out, size_t limit) {
  FILE* f = std::fopen(path, "rb");
  if (!f) return false;
  out.clear();
  uint8_t chunk[65536];
  size_t got;
  bool ok = true;
  while (out.size() < limit && (got = std::fread(chunk, 1, sizeof chunk, f)) > 0)
    out.insert(out.end(), chunk, chunk + std::min(got, limit - out.size()));
  if (std::ferror(f)) ok = false;
  std::fclose(f);
  return ok;
}

// Writes a file from parts; a file that could not be written completely is
// removed again.
bool write_whole(const char* path, const uint8_t* a, size_t an, const uint8_t* b, size_t bn) {
  FILE* f = std::fopen(path, "wb");
  if (!f) return false;
  bool ok = std::fwrite(a, 1, an, f) == an && (bn == 0 || std::fwrite(b, 1, bn, f) == bn);
  ok = (std::fclose(f) == 0) && ok;
  if (!ok) std::remove(path);
  return ok;
}

// Largest BMP file read: the biggest accepted picture with room to spare for
// headers and palettes.
constexpr size_t kMaxBmpFile = 16 << 20;
// Largest JPEG read whole for appending.
constexpr size_t kMaxAppendFile = 64 << 20;

struct Decoded {
  int32_t result;
  DecodedPicture picture;
};

Decoded decode_file(const char* src, int32_t start, int32_t picture, int32_t shift, size_t prefix) {
  Decoded d{kBadArgument, {}};
  record_path(src);
  if (!src) return d;
  Source in;
  if (!in.open_file(src)) {
    d.result = kCannotOpen;
    record_result(d.result);
    return d;
  }
  DecodeOptions opt;
  opt.start_offset = start;
  opt.picture_offset = picture;
  opt.scale_shift = shift;
  opt.prefix = prefix;
  Header hdr;
  d.result = decode_jpeg(in, opt, hdr, d.picture);
  d.picture.work.release();  // the planes are not needed while the picture is written
  record_header(hdr);
  record_result(d.result);
  return d;
}

int32_t encode_to_file(const uint8_t* pixels, int row_bytes, int width, int height, int32_t quality, const char* dst) {
  EncodeInput in;
  in.pixels = pixels;
  in.row_bytes = row_bytes;
  in.width = width;
  in.height = height;
  in.sampling = Sampling::k422;
  in.quality = quality;
  std::vector<uint8_t> jpeg;
  int32_t r = encode_jpeg(in, jpeg);
  if (r != 0) return r;
  if (!dst || !write_whole(dst, jpeg.data(), jpeg.size(), nullptr, 0)) return kCannotWrite;
  return 0;
}

template <typename Body>
int32_t guarded(int32_t on_memory, Body&& body) noexcept {
  try {
    std::lock_guard<std::mutex> hold(g_lock);
    return body();
  } catch (const std::bad_alloc&) {
    return on_memory;
  } catch (...) {
    return on_memory;
  }
}

// Decode failure codes of the re-encoding conversions: memory stays -2,
// everything else is -1.
int32_t decode_failure(int32_t r) { return r == kOutOfMemory ? kOutOfMemory : -1; }

int32_t reencode(const char* src, int32_t start, int32_t picture, int32_t shift, const char* dst, bool double_rows) {
  Decoded d = decode_file(src, start, picture, shift, 0);
  if (d.result <= 0) return decode_failure(d.result);
  const DecodedPicture& p = d.picture;
  const int width = p.row_bytes / 3;
  if (!double_rows) return encode_to_file(p.pixels(), p.row_bytes, width, p.height, 10, dst);
  std::vector<uint8_t> doubled(static_cast<size_t>(p.row_bytes) * p.height * 2);
  for (int i = 0; i < p.height; ++i) {
    const uint8_t* row = p.pixels() + static_cast<ptrdiff_t>(i) * p.row_bytes;
    std::memcpy(&doubled[static_cast<size_t>(2 * i) * p.row_bytes], row, p.row_bytes);
    std::memcpy(&doubled[static_cast<size_t>(2 * i + 1) * p.row_bytes], row, p.row_bytes);
  }
  return encode_to_file(doubled.data(), p.row_bytes, width, p.height * 2, 10, dst);
}

// Reads a BMP source for the two BMP conversions.
int32_t load_bmp(const char* src, BmpPicture& pic, int32_t cannot_open) {
  record_path(src);
  std::vector<uint8_t> bytes;
  if (!src || !read_whole(src, bytes, kMaxBmpFile)) return cannot_open;
  return read_bmp(bytes.data(), bytes.size(), pic);
}

}  // namespace
}  // namespace jk

using namespace jk;

extern "C" {

JPEGKIT_API int32_t jpeg_to_bmp(const char* src, int32_t start_offset, int32_t picture_offset, int32_t scale_shift,
                                const char* dst) {
  return guarded(kOutOfMemory, [&]() -> int32_t {
    Decoded d = decode_file(src, start_offset, picture_offset, scale_shift, kBmpHeaderBytes);
    if (d.result <= 0) return d.result;
    DecodedPicture& p = d.picture;
    const int width = p.row_bytes / 3;
    bmp24_header(p.data.data(), width, p.height);
    if (!dst || !write_whole(dst, p.data.data(), p.data.size(), nullptr, 0)) return -1;
    return width + 10000 * p.height;
  });
}

JPEGKIT_API int32_t jpeg_to_jpeg(const char* src, int32_t start_offset, int32_t picture_offset, int32_t scale_shift,
                                 const char* dst) {
  return guarded(kOutOfMemory, [&] { return reencode(src, start_offset, picture_offset, scale_shift, dst, false); });
}

JPEGKIT_API int32_t jpeg_to_Vjpeg(const char* src, int32_t start_offset, int32_t picture_offset, int32_t scale_shift,
                                  const char* dst) {
  return guarded(kOutOfMemory, [&] { return reencode(src, start_offset, picture_offset, scale_shift, dst, true); });
}

JPEGKIT_API int32_t bmp_to_jpeg(const char* src, const char* dst, int32_t quality) {
  return guarded(kOutOfMemory, [&]() -> int32_t {
    BmpPicture pic;
    int32_t r = load_bmp(src, pic, -1);
    if (r == 0) r = encode_to_file(pic.pixels.data(), pic.row_bytes, pic.width, pic.height, quality, dst);
    record_result(r);
    return r;
  });
}

JPEGKIT_API int32_t bmp_to_bmp(const char* src, const char* dst, float factor, int32_t reserved, int32_t width_extra,
                               int32_t height_extra) {
  (void)reserved;
  return guarded(kOutOfMemory, [&]() -> int32_t {
    BmpPicture pic;
    int32_t r = load_bmp(src, pic, kBmpDamaged);
    if (r == 0) {
      std::vector<uint8_t> file;
      r = make_1bit_bmp(pic, factor, width_extra, height_extra, file);
      if (r == 0 && (!dst || !write_whole(dst, file.data(), file.size(), nullptr, 0))) r = -1;
    }
    record_result(r);
    return r;
  });
}

JPEGKIT_API int32_t Append_qpx_jpeg(const char* target, const char* src) {
  return guarded(kAppendOutOfMemory, [&]() -> int32_t {
    record_path(src);
    if (!target || !src) return kBadArgument;
    AppendSource in;
    if (!read_whole(src, in.bytes, kMaxAppendFile)) return kAppendNoSource;
    int32_t r = prepare_source(in);
    record_header(in.hdr);
    if (r != 0) return r;

    struct stat st;
    if (::stat(target, &st) != 0) {
      if (errno != ENOENT) return kCannotOpen;
      std::vector<uint8_t> file;
      if ((r = first_file(in, file)) != 0) return r;
      return write_whole(target, file.data(), file.size(), nullptr, 0) ? 0 : kCannotOpen;
    }

    Header th;
    {
      Source t;
      if (!t.open_file(target)) return kCannotOpen;
      r = parse_first_scan(t, th);
      if (r == kNotColour) return kAppendNotColour;
      if (r != kScanFound) return r;
    }
    std::vector<uint8_t> record;
    if ((r = next_record(th, in, record)) != 0) return r;
    // The record goes on at the end in one write; a failed write is cut off
    // again so the file stays as it was.
    FILE* f = std::fopen(target, "r+b");
    if (!f) return kCannotOpen;
    bool ok = std::fseek(f, 0, SEEK_END) == 0;
    long original = ok ? std::ftell(f) : -1;
    ok = ok && original >= 0 && std::fwrite(record.data(), 1, record.size(), f) == record.size();
    ok = (std::fflush(f) == 0) && ok;
    if (!ok && original >= 0) {
      if (::ftruncate(fileno(f), original) != 0) { /* nothing more can be done */
      }
    }
    std::fclose(f);
    return ok ? 0 : kCannotOpen;
  });
}

JPEGKIT_API void readmem(void* dst, int32_t count) {
  if (!dst || count <= 0) return;
  guarded(0, [&] {
    copy_record(static_cast<uint8_t*>(dst), static_cast<size_t>(count));
    return 0;
  });
}

}  // extern "C"
