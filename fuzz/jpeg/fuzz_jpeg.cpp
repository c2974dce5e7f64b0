// libFuzzer target for the image library's parsers of untrusted bytes.
//   byte 0 % 3 == 0: the JPEG reader on the rest (byte 1 picks the scale
//                    shift and whether a picture offset is used);
//   byte 0 % 3 == 1: the multi-picture append path: the rest is a source
//                    picture; a new file is built from it, its record decoded
//                    through the picture offset, and it is checked as a
//                    further record of that file;
//   byte 0 % 3 == 2: the BMP reader, then the writer and the reader again.
// Pictures are bounded in size so each input stays quick.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "jpegkit_internal.h"

namespace {

constexpr int64_t kMaxPixels = 256 * 1024;

int32_t decode(const uint8_t* data, size_t size, int64_t picture_offset, int shift) {
  jk::Source src;
  src.open_memory(data, size);
  jk::DecodeOptions opt;
  opt.picture_offset = picture_offset;
  opt.scale_shift = shift;
  opt.max_pixels = kMaxPixels;
  jk::Header hdr;
  jk::DecodedPicture pic;
  int32_t r = jk::decode_jpeg(src, opt, hdr, pic);
  if (r > 0) {
    // Touch every output byte so uninitialised or short buffers show.
    volatile uint8_t sum = 0;
    for (uint8_t b : pic.data) sum = static_cast<uint8_t>(sum + b);
  }
  return r;
}

void fuzz_append(const uint8_t* data, size_t size) {
  jk::AppendSource src;
  src.bytes.assign(data, data + size);
  if (jk::prepare_source(src) != 0) return;
  std::vector<uint8_t> file;
  if (jk::first_file(src, file) != 0) return;
  decode(file.data(), file.size(), static_cast<int64_t>(src.header_bytes) + jk::kRecordHeaderBytes, 0);
  std::vector<uint8_t> record;
  if (jk::next_record(src.hdr, src, record) == 0) {
    file.insert(file.end(), record.begin(), record.end());
    decode(file.data(), file.size(), static_cast<int64_t>(file.size() - record.size()) + jk::kRecordHeaderBytes, 0);
  }
}

void fuzz_bmp(const uint8_t* data, size_t size) {
  jk::BmpPicture pic;
  if (jk::read_bmp(data, size, pic) != 0) return;
  if (static_cast<int64_t>(pic.width) * pic.height > kMaxPixels) return;
  jk::EncodeInput in;
  in.pixels = pic.pixels.data();
  in.row_bytes = pic.row_bytes;
  in.width = pic.width;
  in.height = pic.height;
  in.sampling = jk::sampling_from_mode(size % 3);
  in.quality = static_cast<int32_t>(size % 120);
  std::vector<uint8_t> jpeg;
  if (jk::encode_jpeg(in, jpeg) == 0) decode(jpeg.data(), jpeg.size(), 0, 0);
  std::vector<uint8_t> one_bit;
  jk::make_1bit_bmp(pic, 0.5f + static_cast<float>(size % 4), 3, 2, one_bit);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  switch (data[0] % 3) {
    case 0: {
      int shift = data[1] & 3;
      // Optionally decode from an offset inside the input, as for one picture
      // of a multi-picture file.
      int64_t offset = (data[1] & 0x80) ? static_cast<int64_t>(data[1] & 0x7C) * 4 : 0;
      decode(data + 2, size - 2, offset, shift);
      break;
    }
    case 1: fuzz_append(data + 1, size - 1); break;
    default: fuzz_bmp(data + 1, size - 1); break;
  }
  return 0;
}
