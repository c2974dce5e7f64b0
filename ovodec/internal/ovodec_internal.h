// OvoDec1's internal C++ API for its own tests and fuzz target. It is not a
// stable interface: it changes with the library, and programs outside this
// repository use the C API of OvoDec1.h alone.
//
// What the tests reach behind the C API, and only that: the library object
// with its engine, receive path and presenter, the command parser, the sound
// output and its A-law table, the AVI writer, the colour conversion and the
// replaceable video decoder. Link ovodec_static to use it. The library's own
// headers stay private: include this one instead.
#pragma once

#include "../ApiCmdSub.h"
#include "../alaw.h"
#include "../avi_writer.h"
#include "../colour.h"
#include "../library.h"
#include "../presenter.h"
#include "../receive.h"
#include "../sound_out.h"
#include "../video_decoder.h"
#include "OvoDec1.h"
