// The video decoder as the channel engine uses it: start on the stream
// headers, then one picture per call. The engine's threads create theirs
// through decoder_factory(), which tests may replace.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "colour.h"

namespace ovo {

inline constexpr int kDecodeOk = 0;
inline constexpr int kDecodeNoPicture = 10;  // a unit was used, no picture is ready yet
inline constexpr int kDecodeTooLarge = 23;   // a stream header declares a picture over the bound below
// The largest picture a recorder records; larger stream headers are refused
// before anything is allocated for them.
inline constexpr int kMaxStreamWidth = 1920;
inline constexpr int kMaxStreamHeight = 1088;

class VideoDecoder {
 public:
  virtual ~VideoDecoder() = default;
  // Reads the stream headers at data. width and height are those of the
  // stream, 0 when no usable header was found; consumed the bytes used.
  virtual int start(const uint8_t* data, size_t size, int* width, int* height, size_t* consumed) = 0;
  // Decodes the next picture in data. kDecodeOk with *out set (valid until
  // the next call), kDecodeNoPicture, or a failure code. consumed: bytes used
  // from data up to the end of that picture.
  virtual int decode(const uint8_t* data, size_t size, size_t* consumed, YuvView* out) = 0;
};

using DecoderFactory = std::function<std::unique_ptr<VideoDecoder>()>;

// The MPEG-4 Visual decoder core; null when the library was built without it.
std::unique_ptr<VideoDecoder> make_mpeg4_decoder();

// The factory the decode and receive threads use (make_mpeg4_decoder unless
// replaced). Set it only while no thread of the library runs.
DecoderFactory& decoder_factory();

}  // namespace ovo
