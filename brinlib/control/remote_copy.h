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

}  // namespace brin
