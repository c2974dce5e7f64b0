// The MPEG-4 Visual (ISO/IEC 14496-2) decoder core.
//
// One Decoder per stream; any number may run at once (no shared mutable
// state). Input is a buffer holding one or more start-code delimited units
// of an elementary stream. Recorder packet headers (PES start codes 00 00 01
// C0..EF with their header) may sit between the units and are skipped, so a
// recorder's packets can be fed as they are.
//
// Output pictures are YUV 4:2:0 in display order. While the stream has shown
// no B-VOP (or its video object layer says low delay), each picture is
// returned by the call that decoded it; otherwise an I/P/S picture is held
// back until the next one arrives, and flush() returns the last.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

namespace mpeg4 {

// Results. kOk and kOkNoPicture are success; the others are failures after
// which the decoder stays usable (the next good unit decodes).
enum Result : int {
  kOk = 0,
  kOkNoPicture = 10,       // a unit was consumed but no picture is ready yet
  kInvalidState = 11,      // called in a state that cannot decode
  kNoPictureHeader = 12,   // no VOP start code in the input
  kNoSequenceHeader = 13,  // a VOP before any video object layer header
  kBitstreamError = 20,    // damaged picture data (concealed where possible)
  kUnsupported = 21,       // a feature outside ISO/IEC 14496-2 visual profiles handled here
  kOutOfMemory = 22,
  kTooLarge = 23,  // picture size over 4095 x 4095 or memory limit
};

enum class CodingType : int { kNone = 0, kI = 1, kP = 2, kB = 3, kS = 4 };

struct StreamInfo {
  int width = 0;  // from the video object layer, in pixels
  int height = 0;
  int time_increment_resolution = 0;
  bool interlaced = false;
  bool low_delay = false;
  bool short_header = false;  // H.263 baseline pictures
};

// A decoded picture. The planes belong to the decoder and stay valid until
// the next call on it. Width and height are the coded picture's display size;
// strides may be larger.
struct Picture {
  const uint8_t* y = nullptr;
  const uint8_t* u = nullptr;
  const uint8_t* v = nullptr;
  int stride_y = 0;
  int stride_uv = 0;
  int width = 0;
  int height = 0;
  CodingType type = CodingType::kNone;
  // Presentation time in units of 1 / time_increment_resolution seconds
  // (modulo_time_base seconds plus vop_time_increment).
  int64_t time = 0;
  int time_increment_resolution = 0;
  bool not_coded = false;  // vop_coded == 0: a repeat of the previous picture
};

class Decoder {
 public:
  Decoder();
  ~Decoder();
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  // Parses the stream headers (visual object sequence, visual object, video
  // object layer) found in data, up to but not including the first VOP.
  // consumed: bytes used. kOk with info filled, kNoSequenceHeader when no
  // video object layer header is found, kBitstreamError for a bad one.
  int start(const uint8_t* data, size_t size, StreamInfo* info, size_t* consumed);

  // Decodes the next picture in data (stream headers before it are taken on
  // the way, and a new video object layer header restarts the stream at its
  // size). consumed: bytes used up to the end of that picture. When a picture
  // is ready for display it is stored in *out and kOk returned; kOkNoPicture
  // when the unit was decoded but display waits for the next one.
  // A damaged picture is concealed (the rest of it copied from the reference)
  // and kBitstreamError returned; a picture due for display is then stored in
  // *out all the same (out->y stays null otherwise).
  int decode(const uint8_t* data, size_t size, size_t* consumed, Picture* out);

  // Returns the held-back picture at the end of the stream (kOk), or
  // kOkNoPicture when none is held.
  int flush(Picture* out);

  // Forgets reference pictures and the held-back picture (seeking); the
  // stream headers stay known.
  void reset();

  const StreamInfo& info() const;

  // The coding tool of the last video object layer refused with
  // kUnsupported (for messages), or nullptr when none was.
  const char* unsupported_tool() const;

  // Display order of streams whose video object layer announces B-VOPs
  // (low_delay 0). By default pictures are returned as decoded until the
  // first B-VOP arrives, as above; the reference picture before that B-VOP
  // has then already been returned ahead of it. With this option on, such a
  // stream holds its reference pictures back from the start, so it comes out
  // in display order throughout (a stream that announces B-VOPs but has none
  // then returns each picture one call late, and flush() gives the last).
  void set_hold_back_from_start(bool on);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Finds the first video object layer header (00 00 01 2x) at or after data,
// within size bytes, and reports its picture size. False when there is none
// or it cannot be read.
bool probe_video_object_layer(const uint8_t* data, size_t size, int* width, int* height);

}  // namespace mpeg4
