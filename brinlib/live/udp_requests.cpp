// The stream requests on the control connection: start and stop sending, and
// the channel shown alone.
#include "brinlib.h"
#include "common/guard.h"
#include "control/tcpctrl.h"
#include "live/live_audio.h"
#include "live/udp_state.h"

namespace brin::live {
namespace {

constexpr RequestOptions kStreamRequest{1, ReceiveFailure::kPassThrough, kSepCommand};

int32_t count_impl(int cn, int32_t direction, int32_t a, int32_t b) {
  const int32_t r = direction == 0 ? request(cn, kStreamRequest, "UDPup %02d %02d\n", a, b)
                                   : request(cn, kStreamRequest, "UDPdown %02d %02d\n", a, b);
  if (r != kOk) return r;
  state().audio_switch.store(b);
  audio_signal().notify();
  return reply_hex(cn, 2);
}

int32_t dispmode_impl(int cn, int32_t selected, int32_t mode) {
  if (const int32_t r = check_connection(cn); r != kOk) return r;
  // The selection holds whether or not the recorder accepts the request.
  state().selected.store(selected);
  const int32_t r = request(cn, kStreamRequest, "UDPdispmode %02X %02X %02X\n", selected, mode, 0);
  return r == kOk ? reply_hex(cn, 2) : r;
}

}  // namespace
}  // namespace brin::live

extern "C" {

int32_t brin_udp_count(int32_t cn, int32_t direction, int32_t a, int32_t b) {
  return brin::guarded(-1, [&] { return brin::live::count_impl(cn, direction, a, b); });
}

int32_t brin_udp_dispmode(int32_t cn, int32_t selected, int32_t mode) {
  return brin::guarded(-1, [&] { return brin::live::dispmode_impl(cn, selected, mode); });
}

}  // extern "C"
