// jpegkit's internal C++ API for its own tests, fuzz target and benchmark.
// It is not a stable interface: it changes with the library, and programs
// outside this repository use the C API of jpegkit.h alone.
//
// What the tests reach behind the C API, and only that: the result codes, the
// byte source, the marker segments, the example tables, Huffman coding, the
// transforms, the colour kernels, the reader and writer, BMP files,
// multi-picture files and the record of the last picture. Link jpegkit_static
// to use it. The library's own headers stay private: include this one instead.
#pragma once

#include "../src/bmp.h"
#include "../src/codes.h"
#include "../src/colour_kernels.h"
#include "../src/dct.h"
#include "../src/decoder.h"
#include "../src/encoder.h"
#include "../src/huffman.h"
#include "../src/markers.h"
#include "../src/multipic.h"
#include "../src/record.h"
#include "../src/source.h"
#include "../src/tables.h"
#include "jpegkit.h"
