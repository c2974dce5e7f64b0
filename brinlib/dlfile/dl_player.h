// The downloaded-file player's internals that tests reach: the packets the
// player thread decoded, the index in use and its interval class.
#pragma once
#include <cstdint>
#include <vector>

#include "dl_format.h"
#include "dl_media.h"

namespace brin::dl::testing {

struct Played {
  int64_t position = 0;
  int channel = 0;
  uint32_t time = 0;
  bool picture = false;  // the decode produced a picture
};
// Video packets the player thread decoded since the last clear, oldest
// first (at most the newest 4096).
std::vector<Played> played();
void clear_played();

std::vector<IndexEntry> index_entries();
bool index_complete();
IntervalClass key_interval();
// The open file's data start, first and last packet times.
int64_t data_start();
uint32_t first_time();
uint32_t last_time();
int32_t base_time();

}  // namespace brin::dl::testing
