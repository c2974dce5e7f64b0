// Remote data copy: the exact receive through the per-connection carry-over
// buffer that the chunk transfers use.
#pragma once
#include <cstddef>
#include <cstdint>

namespace brin {

// The longest one copy call (brin_copy_fast or brin_copy_next) waits on the
// network in all, on top of the reply time limit of each receive. A chunk of
// at most 1 MiB takes a few seconds even on a slow network; without this
// limit a recorder dripping one byte every few seconds would hold the call,
// and the process-wide copy lock, for days.
inline constexpr int kCopyCallDeadlineMs = 60000;

// The result of a copy call whose output could not be made: the data file
// (brin_copy_fast, or brin_copy_next for a path the copy did not create)
// or the frame index file exists already, is a symlink, or cannot be
// created. An earlier copy's files are never opened over; the chunk is not
// asked for.
inline constexpr int32_t kOutputRefused = -2;

// Delivers exactly n bytes of the command connection into out: first what the
// connection's carry-over buffer holds, then further receives (each one
// reply-sized recv with the reply time limit, and none after deadline_tick,
// a tick count in ms) into that buffer; bytes beyond n stay pending there.
// Returns n, the bytes delivered when the peer sent no more, or a negative
// receive code (-10035 when a time limit ran out).
int32_t receive_exact(int cn, uint8_t* out, size_t n, uint32_t deadline_tick);

// For tests: the bytes pending in the connection's carry-over buffer.
size_t pending_carry_over(int cn);

namespace testing {
// Replaces kCopyCallDeadlineMs (0: back to it), so that tests of a dripping
// recorder end in a fraction of a second.
void set_copy_call_deadline_ms(int ms);
// Stores one part of a copy as brin_copy_next does once it has received it:
// the video chunk (a bytes, its frame count in byte 27) and the audio chunk
// (b bytes) appended to the data file at path. The buffers are stamped in
// place. For the fuzz target.
void store_part(const char* path, uint8_t* video, size_t a, uint8_t* audio, size_t b);
}  // namespace testing

}  // namespace brin
