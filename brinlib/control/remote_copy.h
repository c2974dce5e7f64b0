// Remote data copy: the exact receive through the per-connection carry-over
// buffer that the chunk transfers use.
#pragma once
#include <cstddef>
#include <cstdint>

namespace brin {

// Delivers exactly n bytes of the command connection into out: first what the
// connection's carry-over buffer holds, then further receives (each one
// reply-sized recv with the reply time limit) into that buffer; bytes beyond
// n stay pending there. Returns n, the bytes delivered when the peer sent no
// more, or a negative receive code.
int32_t receive_exact(int cn, uint8_t* out, size_t n);

// For tests: the bytes pending in the connection's carry-over buffer.
size_t pending_carry_over(int cn);

namespace testing {
// Stores one part of a copy as brin_copy_next does once it has received it:
// the video chunk (a bytes, its frame count in byte 27) and the audio chunk
// (b bytes) appended to the data file at path. The buffers are stamped in
// place. For the fuzz target.
void store_part(const char* path, uint8_t* video, size_t a, uint8_t* audio, size_t b);
}  // namespace testing

}  // namespace brin
