// The sixteen channel decoders: the recorder's MPEG-4 video of each channel
// decoded into a 24-bit picture, the packet scan and the picture files.
// Used by the live view, the downloaded data files and single-frame bitmaps.
//
// The channel state is process-wide. The operations take one lock, so a
// size change never meets a decode on another thread; message boxes are
// shown after the lock is released.
//
// Each channel's decoder is made on its first use and its picture when the
// first picture is converted. A size change sets up only the channel it
// happens on, and reuses the memory the channel holds when it suffices, so
// that a stream flipping between sizes costs no memory and no time each
// flip. Picture sizes are bounded by what
// recorders send: a stream header declaring more than 1920 x 1088 is refused
// before anything is allocated for it (the decoder core alone accepts up to
// 4095 x 4095), so one forged packet cannot cost hundreds of megabytes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace brin::decode {

inline constexpr int kChannels = 16;
inline constexpr int kInitialSize = 344;      // width and height after set-up
inline constexpr size_t kScanLimit = 262144;  // bytes a packet scan reads at most
inline constexpr size_t kWorkBufferBytes = 1048576;
inline constexpr size_t kAudioSideBufferBytes = 2048;
// The largest picture a recorder sends; larger stream headers are refused.
inline constexpr int kMaxRecorderWidth = 1920;
inline constexpr int kMaxRecorderHeight = 1088;

// Whether a picture size lies within what recorders send (1 to the maximum
// in both directions).
bool is_recorder_size(int width, int height);
// Whether any video object layer header in data declares a size that is no
// recorder size (one the decoder core would accept but a recorder never
// sends); the first such size is stored through width and height when they
// are not null.
bool declares_oversize_picture(const uint8_t* data, size_t size, int* width = nullptr, int* height = nullptr);

// Decoder results that reach the channel decoders' callers.
inline constexpr int kDecoderInvalidState = 11;
inline constexpr int kDecoderNoPictureHeader = 12;
inline constexpr int kDecoderNoSequenceHeader = 13;

// Kinds of recorder packet.
inline constexpr int kVideo = 0;
inline constexpr int kAudio = 1;

struct PacketInfo {
  int channel = 0;             // low four bits of the stream identifier
  int kind = kVideo;           // kVideo (E0..EF) or kAudio (C0..CF)
  uint32_t back_distance = 0;  // first private field
  uint32_t total_size = 0;     // second private field: start code to next packet
};

// The private 22-bit field of the packet header (markers in b0 bit 7 and b1
// bit 3).
uint32_t read_private22(const uint8_t* p);

// Finds a recorder packet in memory, reading at most kScanLimit bytes of the
// size given. strict: the start code must end within the first four bytes.
// Returns 1 and the packet's offset in *start, or 0 when there is none (or
// its header does not fit in the buffer).
int locate_packet(const uint8_t* data, size_t size, bool strict, PacketInfo* info, size_t* start);
// The same from an open file read byte by byte from its current position.
// Returns the packet's position (the file is left there), or 0 when there
// is none; a strict scan that fails sets the position back four bytes.
int64_t locate_packet(std::FILE* file, bool strict, PacketInfo* info);

// Flag bits of scan_headers.
inline constexpr int kScanTime = 1;
inline constexpr int kScanSize = 2;
inline constexpr int kScanTimeCode = 4;
inline constexpr int kScanCodingType = 8;

struct HeaderScan {
  uint32_t time = 0;  // 90 kHz, low 32 bits of PTS (or DTS when both)
  int width = 0;
  int height = 0;
  uint32_t time_code = 0;  // 18-bit group of VOP time code
  int coding_type = 0;     // 1 I, 2 P, 3 B, 4 S
};
// Walks a packet's bytes for its headers; returns the flag bits found.
int scan_headers(const uint8_t* data, size_t size, HeaderScan* out);

// Whether decode_init has set the decoders up.
bool is_set_up();
// Strict mode of decode_packet's packet scan (on unless changed).
void set_strict_mode(bool strict);

// Decodes one video packet (the first recorder packet in data; size bytes
// readable) into its channel's picture. 1 when a picture was produced, else
// 0. The channel found is stored in *channel when not null. A packet whose
// stream header declares more than a recorder sends yields 0, changes
// nothing of the channel but its refusal count, and allocates nothing.
int decode_packet(const uint8_t* data, size_t size, int* channel = nullptr);
// Decodes a further piece of the channel's stream with its current state.
// 1 on success, else 0 (also for a piece declaring an oversized picture).
int decode_next_piece(int channel, const uint8_t* data, size_t size);
// Writes the channel's picture as a BMP file without its first 8 rows.
// False when nothing was written (no picture, height 8 or less, or the file
// cannot be written).
bool write_picture_file(const char* path, int channel);
// The same rows as the picture file (bottom-up, width * 3 bytes each, the
// first 8 left out) copied into rgb instead: true with the size when they
// were copied; false when there is no picture or capacity cannot hold it
// (*too_small set then, when not null).
bool copy_file_picture(int channel, uint8_t* rgb, size_t capacity, int* width, int* height, bool* too_small);

// A copy of the channel's picture (bottom-up rows of width * 3 bytes, blue,
// green, red) and its size; false for a channel outside 0..15 or before
// set-up. A channel never used has no picture (empty); one set up for a
// size at which no picture was converted yet gives a black picture.
bool copy_picture(int channel, std::vector<uint8_t>* rgb, int* width, int* height);

struct ChannelStatus {
  int width = 0;
  int height = 0;
  bool active = false;   // a video packet of the channel was decoded
  bool decoded = false;  // the last decode of the channel produced a picture
  uint32_t last_length = 0;
  int refused = 0;        // packets and pieces refused for an oversized picture
  int refused_width = 0;  // the size the last refused one declared
  int refused_height = 0;
};
ChannelStatus channel_status(int channel);
// The size the channel was last set up for (0 x 0 before its first use),
// and how many times it was set up (first use and every size change of this
// channel).
void built_size(int channel, int* width, int* height, int* builds);

// Shared buffers of the callers (the data-file player, live audio).
uint8_t* work_buffer();
uint8_t* audio_side_buffer(int index);

int init();
void deinit();

}  // namespace brin::decode

namespace brin::decode::testing {
// Makes the next set-up fail to allocate its work buffer.
void fail_next_work_buffer(bool fail);
}  // namespace brin::decode::testing
