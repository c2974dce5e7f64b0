// The MPEG-4 decoder core's internal C++ API for its own tests, fuzz targets
// and benchmarks. It is not a stable interface: it changes with the library,
// and the other libraries and the tools use mpeg4/decoder.h and
// mpeg4/colour.h alone.
//
// What the tests reach behind the decoder's interface, and only that: the bit
// reader, the stream headers, the variable-length code tables, the inverse
// transform, and motion compensation with its kernels. The library's own
// headers stay private: include this one instead.
#pragma once

#include "../src/bitreader.h"
#include "../src/headers.h"
#include "../src/idct.h"
#include "../src/mc.h"
#include "../src/mc_kernels.h"
#include "../src/vlc.h"
#include "mpeg4/colour.h"
#include "mpeg4/decoder.h"
