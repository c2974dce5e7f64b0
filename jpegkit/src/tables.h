// The example tables of T.81 Annex K: quantisation base tables (natural
// order) and the four Huffman tables, which the writer always uses and the
// reader falls back on when a file defines none (motion-JPEG style files).
#pragma once
#include <cstdint>

#include "markers.h"

namespace jk {

extern const uint8_t kLumaQuant[64];
extern const uint8_t kChromaQuant[64];

const HuffSpec& standard_dc(int chroma);
const HuffSpec& standard_ac(int chroma);

}  // namespace jk
