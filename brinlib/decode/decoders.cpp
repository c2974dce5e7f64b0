#include "decode/decoders.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <shared_mutex>

#include "brinlib.h"
#include "common/guard.h"
#include "common/replace_file.h"
#include "mpeg4/colour.h"
#include "mpeg4/decoder.h"
#include "velmora/bmp_file.h"
#include "velmora/message.h"

namespace brin::decode {
namespace {

constexpr const char* kMessageCaption = "decore";
constexpr size_t kPacketHeaderBytes = 27;  // up to the end of the second private field

struct Channel {
  // Guards everything below; taken with the decoders' lock held shared.
  std::mutex lock;
  int width = kInitialSize;  // the stream's size, from its last stream header
  int height = kInitialSize;
  // The picture's memory: bottom-up rows of built_width * 3 bytes once a
  // picture was converted at the built size (has_picture). It is made when
  // the first picture is converted and kept, with its capacity, across size
  // changes; only a larger picture makes it anew.
  std::unique_ptr<uint8_t[]> rgb;
  size_t rgb_capacity = 0;
  bool has_picture = false;
  std::unique_ptr<mpeg4::Decoder> decoder;
  int built_width = 0;  // what the channel was last set up for; 0 = not yet
  int built_height = 0;
  int builds = 0;
  bool active = false;
  bool decoded = false;
  uint32_t last_length = 0;
  int refused = 0;
  int refused_width = 0;
  int refused_height = 0;

  size_t picture_bytes() const { return static_cast<size_t>(built_width) * built_height * 3; }

  void release() {
    rgb.reset();
    rgb_capacity = 0;
    has_picture = false;
    decoder.reset();
    built_width = built_height = 0;
  }
};

// The decoders' lock is held shared by every operation on one channel,
// which also takes that channel's own lock, so that the sixteen channels
// decode side by side; setting up, tearing down and the settings hold it
// alone.
struct State {
  std::shared_mutex lock;
  bool set_up = false;
  bool strict = true;
  std::unique_ptr<uint8_t[]> work;
  std::unique_ptr<uint8_t[]> audio[2];
  Channel channel[kChannels];
  bool fail_work_buffer = false;
};

State& state() {
  static State s;
  return s;
}

uint32_t read_timestamp32(const uint8_t* p) {
  const uint64_t v = (static_cast<uint64_t>((p[0] >> 1) & 7) << 30) | (static_cast<uint64_t>(p[1]) << 22) |
                     (static_cast<uint64_t>(p[2] >> 1) << 15) | (static_cast<uint64_t>(p[3]) << 7) | (p[4] >> 1);
  return static_cast<uint32_t>(v);
}

bool is_packet_id(int id) { return id >= 0xBA && ((id >> 4) == 0xE || (id >> 4) == 0xC); }

void fill_info(const uint8_t* p, int id, PacketInfo* info) {
  if (!info) return;
  info->channel = id & 15;
  info->kind = (id >> 4) == 0xE ? kVideo : kAudio;
  info->back_distance = read_private22(p + 21);
  info->total_size = read_private22(p + 24);
}

// Sets the channel up for its current size. Only this channel is touched,
// so a size change on one camera never restarts another. The channel's
// decoder is made on first use and kept: a stream header of another size
// makes it set its pictures up anew, within the memory it holds when that
// suffices, so that a stream flipping between sizes costs neither memory
// nor time each flip. The picture is dropped until one is converted at the
// new size. False when the size is no recorder size (the channel then
// lets go of everything) or memory runs out.
bool build(Channel& c) {
  if (c.decoder && c.built_width == c.width && c.built_height == c.height) return true;
  if (!is_recorder_size(c.width, c.height)) {
    c.release();
    return false;
  }
  if (!c.decoder) {
    c.decoder.reset(new (std::nothrow) mpeg4::Decoder);
    if (!c.decoder) return false;
  }
  c.has_picture = false;
  c.built_width = c.width;
  c.built_height = c.height;
  ++c.builds;
  return true;
}

// Converts the decoder's picture into the channel's picture memory, which
// grows only for a picture larger than any before. Every byte is written,
// so the memory is not cleared first. False when memory runs out.
bool convert(Channel& c, const mpeg4::Picture& pic) {
  const size_t bytes = c.picture_bytes();
  if (bytes > c.rgb_capacity) {
    c.rgb.reset();
    c.rgb_capacity = 0;
    c.rgb.reset(new (std::nothrow) uint8_t[bytes]);
    if (!c.rgb) return false;
    c.rgb_capacity = bytes;
  }
  mpeg4::yuv420_to_bgr24(pic, c.rgb.get(), true);
  c.has_picture = true;
  return true;
}

void note_refusal(Channel& c, int width, int height) {
  ++c.refused;
  c.refused_width = width;
  c.refused_height = height;
}

const char* message_for(int decoder_result) {
  switch (decoder_result) {
    case kDecoderInvalidState: return "To Developer:\nInvalid state in DECORE library. Check\ndecore_state first.";
    case kDecoderNoPictureHeader: return "No picture header in picture buffer\n";
    case kDecoderNoSequenceHeader:
      return "To Developer:\nNo sequence header. You should put a picture\nwith sequence header at first";
    default: return nullptr;
  }
}

// Runs the channel's decoder over one piece and converts a finished
// picture. Returns the decoder's result; a picture of another size than
// the channel's counts as a bitstream error. A piece whose stream headers
// declare an oversized picture never reaches the decoder, and a decoder
// that took a larger size some other way (a short-header picture) is let
// go at once, so its memory does not stay.
int run_decoder(Channel& c, const uint8_t* data, size_t size) {
  int w = 0, h = 0;
  if (declares_oversize_picture(data, size, &w, &h)) {
    note_refusal(c, w, h);
    return mpeg4::kTooLarge;
  }
  if (!build(c)) return mpeg4::kOutOfMemory;
  mpeg4::Picture pic;
  size_t consumed = 0;
  const int r = c.decoder->decode(data, size, &consumed, &pic);
  const mpeg4::StreamInfo& info = c.decoder->info();
  if (info.width > 0 && !is_recorder_size(info.width, info.height)) {
    note_refusal(c, info.width, info.height);
    c.release();
    return mpeg4::kTooLarge;
  }
  if (r == mpeg4::kOk) {
    if (pic.width != c.width || pic.height != c.height) return mpeg4::kBitstreamError;
    if (!convert(c, pic)) return mpeg4::kOutOfMemory;
  }
  return r;
}

// Decoder results 0 and 10 are success; 11 to 13 carry a message.
int finish(Channel& c, int r, const char** message) {
  const bool ok = r == mpeg4::kOk || r == mpeg4::kOkNoPicture;
  c.decoded = ok;
  if (!ok) *message = message_for(r);
  return ok ? 1 : 0;
}

}  // namespace

bool is_recorder_size(int width, int height) {
  return width > 0 && height > 0 && width <= kMaxRecorderWidth && height <= kMaxRecorderHeight;
}

bool declares_oversize_picture(const uint8_t* data, size_t size, int* width, int* height) {
  if (!data) return false;
  // Every video object layer start code (00 00 01 20..2F) is probed as the
  // decoder would read it; one that cannot be read is refused by the
  // decoder itself and allocates nothing.
  for (size_t i = 0; i + 3 < size; ++i) {
    if (data[i + 2] > 1) {
      i += 2;
      continue;
    }
    if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1 || (data[i + 3] & 0xF0) != 0x20) continue;
    int w = 0, h = 0;
    if (mpeg4::probe_video_object_layer(data + i, size - i, &w, &h) && !is_recorder_size(w, h)) {
      if (width) *width = w;
      if (height) *height = h;
      return true;
    }
  }
  return false;
}

uint32_t read_private22(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0] & 0x7F) << 15) | (static_cast<uint32_t>(p[1] >> 4) << 11) |
         (static_cast<uint32_t>(p[1] & 7) << 8) | p[2];
}

int locate_packet(const uint8_t* data, size_t size, bool strict, PacketInfo* info, size_t* start) {
  if (!data) return 0;
  const size_t limit = std::min(size, kScanLimit);
  uint32_t reg = 0xFFFFFFFF;
  for (size_t i = 0; i < limit; ++i) {
    reg = (reg << 8) | data[i];
    if ((reg >> 8) == 1 && is_packet_id(static_cast<int>(reg & 0xFF))) {
      const size_t p = i - 3;
      if (p + kPacketHeaderBytes > size) return 0;
      fill_info(data + p, static_cast<int>(reg & 0xFF), info);
      if (start) *start = p;
      return 1;
    }
    if (strict && i >= 3) return 0;
  }
  return 0;
}

int64_t locate_packet(std::FILE* file, bool strict, PacketInfo* info) {
  if (!file) return -1;
  uint32_t reg = 0xFFFFFFFF;
  for (size_t read = 1; read <= kScanLimit; ++read) {
    const int ch = std::fgetc(file);
    if (ch == EOF) break;
    reg = (reg << 8) | static_cast<uint32_t>(ch);
    if ((reg >> 8) == 1 && is_packet_id(static_cast<int>(reg & 0xFF))) {
      const int64_t pos = static_cast<int64_t>(std::ftell(file)) - 4;
      uint8_t header[kPacketHeaderBytes];
      if (std::fseek(file, pos, SEEK_SET) != 0) return -1;
      if (std::fread(header, 1, sizeof header, file) != sizeof header) {
        std::fseek(file, pos, SEEK_SET);
        return -1;
      }
      std::fseek(file, pos, SEEK_SET);
      fill_info(header, header[3], info);
      return pos;
    }
    if (strict && read >= 4) {
      std::fseek(file, -4, SEEK_CUR);
      return -1;
    }
  }
  return -1;
}

int scan_headers(const uint8_t* data, size_t size, HeaderScan* out) {
  HeaderScan scan;
  int flags = 0;
  if (!data) return 0;
  uint32_t reg = 0xFFFFFFFF;
  for (size_t i = 0; i < size; ++i) {
    reg = (reg << 8) | data[i];
    if ((reg >> 8) != 1) continue;
    const int code = static_cast<int>(reg & 0xFF);
    const size_t p = i - 3, next = i + 1;
    if (code >= 0xE0 && code <= 0xEF) {
      if (p + 9 > size) continue;
      const int stamps = data[p + 7] >> 6;
      if (stamps == 2 && p + 14 <= size) {
        scan.time = read_timestamp32(data + p + 9);
        flags |= kScanTime;
      } else if (stamps == 3 && p + 19 <= size) {
        scan.time = read_timestamp32(data + p + 14);
        flags |= kScanTime;
      }
    } else if (code == 0x00) {
      int w = 0, h = 0;
      if (!mpeg4::probe_video_object_layer(data + next, size - next, &w, &h)) break;
      scan.width = w;
      scan.height = h;
      flags |= kScanSize;
    } else if (code == 0xB3) {
      if (next + 3 > size) continue;
      scan.time_code = (static_cast<uint32_t>(data[next]) << 10) | (static_cast<uint32_t>(data[next + 1]) << 2) |
                       (data[next + 2] >> 6);
      flags |= kScanTimeCode;
    } else if (code == 0xB6) {
      if (next < size) {
        scan.coding_type = (data[next] >> 6) + 1;
        flags |= kScanCodingType;
      }
      break;
    }
  }
  if (out) *out = scan;
  return flags;
}

bool is_set_up() {
  State& s = state();
  std::shared_lock<std::shared_mutex> g(s.lock);
  return s.set_up;
}

void set_strict_mode(bool strict) {
  State& s = state();
  std::lock_guard<std::shared_mutex> g(s.lock);
  s.strict = strict;
}

int decode_packet(const uint8_t* data, size_t size, int* channel_out) {
  State& s = state();
  const char* message = nullptr;
  int result = 0;
  {
    std::shared_lock<std::shared_mutex> g(s.lock);
    if (!s.set_up) return 0;
    PacketInfo info;
    size_t start = 0;
    if (!locate_packet(data, size, s.strict, &info, &start)) return 0;
    if (channel_out) *channel_out = info.channel;
    // The packet's length is its second private field, never more than the
    // caller's buffer holds.
    size_t length = size - start;
    if (info.total_size >= kPacketHeaderBytes && info.total_size < length) length = info.total_size;
    const uint8_t* packet = data + start;
    HeaderScan scan;
    const int flags = scan_headers(packet, length, &scan);
    Channel& c = s.channel[info.channel];
    std::lock_guard<std::mutex> channel_lock(c.lock);
    // A stream header gives the channel's size. A packet without one finds
    // no size and yields no picture, unless the channel's decoder already
    // holds its stream (a later picture of the same stream): that one is
    // decoded at the channel's size. A size beyond what recorders send is
    // refused before it becomes the channel's.
    if (flags & kScanSize) {
      if (!is_recorder_size(scan.width, scan.height) && scan.width != 0 && scan.height != 0) {
        note_refusal(c, scan.width, scan.height);
        return 0;
      }
      c.width = scan.width;
      c.height = scan.height;
    } else if (info.kind == kVideo && !(c.decoder && c.decoder->info().width > 0)) {
      return 0;
    }
    if (c.width == 0 || c.height == 0) return 0;
    if (info.kind == kAudio) return 0;
    c.active = true;
    c.last_length = static_cast<uint32_t>(length);
    result = finish(c, run_decoder(c, packet, length), &message);
  }
  if (message) vp::message_box(message, kMessageCaption);
  return result;
}

int decode_next_piece(int channel, const uint8_t* data, size_t size) {
  State& s = state();
  const char* message = nullptr;
  int result = 0;
  {
    std::shared_lock<std::shared_mutex> g(s.lock);
    if (!s.set_up || channel < 0 || channel >= kChannels || !data) return 0;
    Channel& c = s.channel[channel];
    std::lock_guard<std::mutex> channel_lock(c.lock);
    c.last_length = static_cast<uint32_t>(size);
    result = finish(c, run_decoder(c, data, size), &message);
  }
  if (message) vp::message_box(message, kMessageCaption);
  return result;
}

bool write_picture_file(const char* path, int channel) {
  State& s = state();
  std::shared_lock<std::shared_mutex> g(s.lock);
  if (!s.set_up || !path || channel < 0 || channel >= kChannels) return false;
  Channel& c = s.channel[channel];
  std::lock_guard<std::mutex> channel_lock(c.lock);
  const int w = c.built_width, h = c.built_height;
  if (w <= 0 || h <= 8) return false;
  // The picture file leaves out the eight bottom rows. It is replaced whole,
  // never written through a symlink.
  const size_t row = static_cast<size_t>(w) * 3;
  ReplacingFile f(path);
  if (c.has_picture) {
    vp::bmp::write_picture(f, c.rgb.get() + row * 8, w, h - 8, row);
  } else {
    // Set up for its size but nothing converted yet: a black picture.
    const std::vector<uint8_t> black(row, 0);
    vp::bmp::write_picture(f, black.data(), w, h - 8, 0);
  }
  return f.commit();
}

bool copy_file_picture(int channel, uint8_t* rgb, size_t capacity, int* width, int* height, bool* too_small) {
  State& s = state();
  std::shared_lock<std::shared_mutex> g(s.lock);
  if (!s.set_up || !rgb || channel < 0 || channel >= kChannels) return false;
  Channel& c = s.channel[channel];
  std::lock_guard<std::mutex> channel_lock(c.lock);
  const int w = c.built_width, h = c.built_height;
  if (w <= 0 || h <= 8) return false;
  const size_t row = static_cast<size_t>(w) * 3;
  const size_t bytes = row * static_cast<size_t>(h - 8);
  if (bytes > capacity) {
    if (too_small) *too_small = true;
    return false;
  }
  if (c.has_picture)
    std::memcpy(rgb, c.rgb.get() + row * 8, bytes);
  else
    std::memset(rgb, 0, bytes);  // black until a picture is converted
  if (width) *width = w;
  if (height) *height = h - 8;
  return true;
}

bool copy_picture(int channel, std::vector<uint8_t>* rgb, int* width, int* height) {
  State& s = state();
  std::shared_lock<std::shared_mutex> g(s.lock);
  if (!s.set_up || channel < 0 || channel >= kChannels) return false;
  Channel& c = s.channel[channel];
  std::lock_guard<std::mutex> channel_lock(c.lock);
  if (rgb) {
    if (c.has_picture)
      rgb->assign(c.rgb.get(), c.rgb.get() + c.picture_bytes());
    else
      rgb->assign(c.picture_bytes(), 0);  // black until a picture is converted
  }
  if (width) *width = c.built_width;
  if (height) *height = c.built_height;
  return true;
}

ChannelStatus channel_status(int channel) {
  State& s = state();
  std::shared_lock<std::shared_mutex> g(s.lock);
  ChannelStatus st;
  if (channel < 0 || channel >= kChannels) return st;
  Channel& c = s.channel[channel];
  std::lock_guard<std::mutex> channel_lock(c.lock);
  st.width = c.width;
  st.height = c.height;
  st.active = c.active;
  st.decoded = c.decoded;
  st.last_length = c.last_length;
  st.refused = c.refused;
  st.refused_width = c.refused_width;
  st.refused_height = c.refused_height;
  return st;
}

void built_size(int channel, int* width, int* height, int* builds) {
  State& s = state();
  std::shared_lock<std::shared_mutex> g(s.lock);
  if (channel < 0 || channel >= kChannels) {
    if (width) *width = 0;
    if (height) *height = 0;
    if (builds) *builds = 0;
    return;
  }
  Channel& c = s.channel[channel];
  std::lock_guard<std::mutex> channel_lock(c.lock);
  if (width) *width = c.built_width;
  if (height) *height = c.built_height;
  if (builds) *builds = c.builds;
}

uint8_t* work_buffer() {
  State& s = state();
  std::shared_lock<std::shared_mutex> g(s.lock);
  return s.work.get();
}

uint8_t* audio_side_buffer(int index) {
  State& s = state();
  std::shared_lock<std::shared_mutex> g(s.lock);
  return (index == 0 || index == 1) ? s.audio[index].get() : nullptr;
}

int init() {
  State& s = state();
  {
    std::lock_guard<std::shared_mutex> g(s.lock);
    for (Channel& c : s.channel) {
      c.active = false;
      c.decoded = false;
      c.last_length = 0;
      c.refused = c.refused_width = c.refused_height = 0;
    }
    s.work.reset();
    if (!s.fail_work_buffer) s.work.reset(new (std::nothrow) uint8_t[kWorkBufferBytes]());
    s.fail_work_buffer = false;
  }
  if (!state().work) {
    vp::message_box("error: GlobalAlloc", "decode_init error");
    return 1;  // what the acknowledged message box answers (OK)
  }
  {
    std::lock_guard<std::shared_mutex> g(s.lock);
    for (auto& a : s.audio)
      if (!a) a.reset(new (std::nothrow) uint8_t[kAudioSideBufferBytes]());
    // The channels start at the initial size; each makes its picture and
    // decoder when it is first used.
    if (!s.set_up) {
      for (Channel& c : s.channel) {
        c.release();
        c.width = c.height = kInitialSize;
        c.builds = 0;
      }
      s.set_up = true;
    }
  }
  // The downloaded-file player is set up with the decoders.
  return Mpeg4DLdata_init();
}

void deinit() {
  State& s = state();
  {
    std::lock_guard<std::shared_mutex> g(s.lock);
    s.work.reset();
    for (auto& a : s.audio) a.reset();
    if (s.set_up) {
      for (Channel& c : s.channel) {
        c.release();
        c.width = c.height = kInitialSize;
      }
      s.set_up = false;
    }
  }
  Mpeg4DLdata_deinit();
}

namespace testing {
void fail_next_work_buffer(bool fail) {
  State& s = state();
  std::lock_guard<std::shared_mutex> g(s.lock);
  s.fail_work_buffer = fail;
}
}  // namespace testing

}  // namespace brin::decode

extern "C" {

BRIN_API int32_t decode_init(void) {
  return brin::guarded(1, [] { return static_cast<int32_t>(brin::decode::init()); });
}

BRIN_API void decode_deinit(void) {
  brin::guarded(0, [] {
    brin::decode::deinit();
    return 0;
  });
}

}  // extern "C"
