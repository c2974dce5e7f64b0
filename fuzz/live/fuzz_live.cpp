// Arbitrary datagrams through the live stream's reassembly, sub-frame tables,
// audio block walk and polls. The input is a sequence of datagrams, each
// preceded by its length (two bytes, little-endian) and the receive thread
// number (one byte).
#include <cstdint>
#include <cstdlib>

#include "brinlib.h"
#include "brinlib_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = [] {
    setenv("VELMORA_AUDIO", "none", 1);
    brin::live::testing::prepare_buffers();
    decode_init();
    brin::live::state().audio_switch.store(1);
    wave_play_ctrl(1);
    return true;
  }();
  (void)ready;
  auto& st = brin::live::state();
  size_t at = 0;
  while (at + 3 <= size) {
    const size_t len = static_cast<size_t>(data[at] | data[at + 1] << 8);
    const int thread = data[at + 2] & 1;
    at += 3;
    if (len > size - at) break;
    // The channel shown alone follows the input too.
    if (len > 0) st.selected.store(data[at] % 17);
    brin::live::testing::feed_datagram(thread, data + at, len);
    at += len;
  }
  for (int k = 0; k < 16; ++k) {
    brin_udp_rx(k, 0);
    brin_udp_rx(k, 1);
  }
  return 0;
}
