// Socket helpers of the control client: the recorder address parser, the
// receive loop with its time limit, reply splitting and the number parser.
#pragma once
#include <cstddef>
#include <cstdint>

#include "velmora/net.h"

namespace brin {

inline constexpr int kMaxTokens = 20;
inline constexpr int kTokenChars = 255;
inline constexpr int kReplyBytes = 2200;

// Separator sets of the replies.
inline constexpr const char* kSepLogin = " \t,\r\n";
inline constexpr const char* kSepClock = " \t\r\n";
inline constexpr const char* kSepCommand = " \t,:/\r\n";

struct TokenTable {
  char token[kMaxTokens][kTokenChars + 1] = {};
  int count = 0;
  // Token i, or "" when the reply had fewer tokens.
  const char* at(int i) const { return (i >= 0 && i < count) ? token[i] : ""; }
};

// The waits of the control protocol. Tests shorten them through
// brin::timing(); the library never changes them.
struct Timing {
  int receive_timeout_ms = 10000;    // one reply
  int connect_polls = 200;           // login connect, 1 ms each
  int command_start_polls = 1000;    // command-connection thread, 10 ms each
  int menu_delay_ms = 1000;          // the recorder's preparation time before the menu data is asked for
  int menu_timeout_ms = 180000;      // menu data
  int playlist_timeout_ms = 30000;   // play list data
  int jpeg_special_sleep_ms = 4000;  // brin_jpeg_swset(99): the recorder applies it without a reply
  int unconnect_sleep_ms = 50;       // fixed pause of the disconnect after closing the command socket
  int bulk_quiet_ms = 500;           // end of a bulk transfer that stopped short
};
Timing& timing();

// Recorder address: the library's own dotted parser, then the system's.
// Returns false for an invalid address.
bool parse_address(const char* text, uint32_t* addr_net);

// One reply: waits up to the receive time limit for data, then one recv of at
// most kReplyBytes into buffer (which holds kReplyBytes + 1 bytes; a zero byte
// follows the data). Result: byte count, or the negated Winsock error
// (-10035 on the time-out). A closed connection is a failure (-10054).
int receive_reply(vp::socket_t s, char* buffer);

// Receives a bulk transfer of `total` announced bytes, waiting at most
// timeout_ms in all; stops early when the peer has been quiet for a while
// after sending something. The first `keep` bytes go to out, the rest are
// received and dropped, and so is whatever else has already arrived after
// them, so that nothing of the transfer is left for the next reply. Returns
// the bytes stored in out (0 on failure).
size_t receive_bulk(vp::socket_t s, uint8_t* out, size_t keep, size_t total, int timeout_ms);

// Splits the zero-terminated text in buffer in place at the separators and
// appends the tokens to table (at most kMaxTokens, each cut to kTokenChars).
void split_tokens(TokenTable& table, char* buffer, const char* separators);

// Letters and digits as base-16 digits (letters count 10 to 35), after
// skipping leading characters that are neither; ends at the next such one.
int32_t parse_hex(const char* token);

}  // namespace brin
