#include "video_decoder.h"

#include "mpeg4/decoder.h"

namespace ovo {

namespace {

// Whether a video object layer header in data declares a picture larger
// than recorders send; the decoder core alone would accept (and allocate)
// up to 4095 x 4095.
bool oversize_header(const uint8_t* data, size_t size) {
  for (size_t i = 0; i + 3 < size; ++i) {
    if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
    if ((data[i + 3] & 0xF0) != 0x20) continue;
    int width = 0, height = 0;
    if (mpeg4::probe_video_object_layer(data + i, size - i, &width, &height) &&
        (width > kMaxStreamWidth || height > kMaxStreamHeight))
      return true;
  }
  return false;
}

class Mpeg4Decoder : public VideoDecoder {
 public:
  int start(const uint8_t* data, size_t size, int* width, int* height, size_t* consumed) override {
    mpeg4::StreamInfo info;
    *consumed = 0;
    if (oversize_header(data, size)) {
      *width = 0;
      *height = 0;
      return kDecodeTooLarge;
    }
    const int rc = decoder_.start(data, size, &info, consumed);
    // The stream's size alone says whether it can be decoded.
    *width = rc == mpeg4::kOk ? info.width : 0;
    *height = rc == mpeg4::kOk ? info.height : 0;
    return rc;
  }

  int decode(const uint8_t* data, size_t size, size_t* consumed, YuvView* out) override {
    mpeg4::Picture picture;
    *consumed = 0;
    if (oversize_header(data, size)) return kDecodeTooLarge;
    const int rc = decoder_.decode(data, size, consumed, &picture);
    if (rc == mpeg4::kOk) {
      *out =
          YuvView{picture.y, picture.u, picture.v, picture.stride_y, picture.stride_uv, picture.width, picture.height};
      return kDecodeOk;
    }
    return rc == mpeg4::kOkNoPicture ? kDecodeNoPicture : rc;
  }

 private:
  mpeg4::Decoder decoder_;
};

}  // namespace

std::unique_ptr<VideoDecoder> make_mpeg4_decoder() { return std::make_unique<Mpeg4Decoder>(); }

DecoderFactory& decoder_factory() {
  static DecoderFactory factory = make_mpeg4_decoder;
  return factory;
}

}  // namespace ovo
