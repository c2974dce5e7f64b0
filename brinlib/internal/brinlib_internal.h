// brinlib's internal C++ API for its own tools, tests, fuzz targets and
// benchmarks. It is not a stable interface: it changes with the library, and
// programs outside this repository use the C API of brinlib.h alone.
//
// What the tools and tests reach behind the C API, and only that: the disk
// reader and index state, the play states and the boundary to the channel
// library, the copy and its file format, the downloaded-file reader and
// player, the channel decoders, the live stream's shared state and audio,
// and the control connection with its socket helpers. Link brinlib_static to
// use it. The folders' own headers stay private: include this one instead.
#pragma once

#include "../control/Tcpetc.h"
#include "../control/remote_copy.h"
#include "../control/tcpctrl.h"
#include "../copy/copy_format.h"
#include "../copy/copy_usb.h"
#include "../decode/decoders.h"
#include "../disk/hdd.h"
#include "../dlfile/dl_format.h"
#include "../dlfile/dl_media.h"
#include "../dlfile/dl_player.h"
#include "../live/live_audio.h"
#include "../live/udp_state.h"
#include "../live/wave_device.h"
#include "../playback/bmp_export.h"
#include "../playback/play_engine.h"
#include "../playback/play_file.h"
#include "brinlib.h"
