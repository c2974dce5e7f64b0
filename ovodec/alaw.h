// G.711 A-law to 16-bit linear PCM.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

namespace ovo {

// The expansion of ITU-T G.711: the even bits are inverted on the line; the
// top bit is the sign (1 = positive), the next three the segment, the low
// four the step within it. Values are the 13-bit decoder outputs at the
// middle of each step, scaled to 16 bits.
constexpr int16_t alaw_to_linear(uint8_t code) {
  const uint8_t a = code ^ 0x55;
  const int segment = (a >> 4) & 0x07;
  int value = (a & 0x0F) << 4;
  if (segment == 0) {
    value += 8;
  } else {
    value = (value + 0x108) << (segment - 1);
  }
  return static_cast<int16_t>((a & 0x80) ? value : -value);
}

inline constexpr std::array<int16_t, 256> kAlawTable = [] {
  std::array<int16_t, 256> t{};
  for (int i = 0; i < 256; ++i) t[i] = alaw_to_linear(static_cast<uint8_t>(i));
  return t;
}();

static_assert(kAlawTable[0x00] == -5504 && kAlawTable[0x80] == 5504);
static_assert(kAlawTable[0xD5] == 8 && kAlawTable[0x55] == -8);

// An audio frame payload: 8 bytes that are not sound, then one A-law byte per
// sample. Writes the samples to out (room for size - 8) and returns their
// count.
inline size_t expand_audio_payload(const uint8_t* payload, size_t size, int16_t* out) {
  if (size <= 8) return 0;
  for (size_t i = 8; i < size; ++i) out[i - 8] = kAlawTable[payload[i]];
  return size - 8;
}

}  // namespace ovo
