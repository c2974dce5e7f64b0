// The viewer's one way into the recorder client library (libbrinlib.so) and
// the image library (libjpegkit.so).
//
// Both libraries are loaded with dlopen when a function of theirs is first
// called, and each function is bound by name on its own first call. A
// library or function that is missing fails that call only: the wrapper
// returns kMissing (or a null pointer) and says so once on standard error.
// The program does not link the libraries, so it starts without them.
//
// Each wrapper is a callable object named like the function it binds and
// typed by that function's declaration in the library's public header, so
// the calls the viewer makes are checked against the headers by the
// compiler: a function whose declaration changes fails the build where the
// viewer calls it differently.
//
// Every wrapper is called from the user-interface thread.
#pragma once
#include <brinlib.h>
#include <jpegkit.h>

#include <climits>
#include <cstdint>
#include <string>
#include <type_traits>

namespace velmora::viewer::lib {

// Result of a call whose library or function is missing.
inline constexpr int32_t kMissing = INT32_MIN;

enum class Library { kBrinlib, kJpegkit };

// Where the libraries are looked for: the folder in VELMORA_LIB_DIR when set,
// then the folder "lib" beside the program's folder (a build tree), then the
// installed library folder (for example ../lib/x86_64-linux-gnu/velmora
// from the program's folder), then the program's folder, then the system's
// search path.
void* library_handle(Library library);
// Whether the named function can be called.
bool available(Library library, const char* name);
// Binds name, or returns nullptr (saying so once).
void* bind(Library library, const char* name);

// The time of the newest live frame: year - 2000, month, day, hour in
// `time` (one per byte, lowest byte first), minute and second in `fraction`.
using RxTime = ::BrinRxTime;

// A function of a library with the signature Fn (a pointer to the header's
// declaration). Calling it binds the function by name and calls it, or
// gives kMissing (a null pointer for a pointer result) when it cannot be
// bound.
template <typename Fn>
class Function;

template <typename R, typename... A>
class Function<R (*)(A...)> {
 public:
  constexpr Function(Library library, const char* name) : library_(library), name_(name) {}

  R operator()(A... args) const {
    auto fn = reinterpret_cast<R (*)(A...)>(bind(library_, name_));
    if constexpr (std::is_void_v<R>) {
      if (fn) fn(args...);
    } else if constexpr (std::is_pointer_v<R>) {
      return fn ? fn(args...) : nullptr;
    } else {
      static_assert(std::is_same_v<R, int32_t>, "a library result is int32_t, a pointer or nothing");
      return fn ? fn(args...) : kMissing;
    }
  }

 private:
  Library library_;
  const char* name_;
};

// The functions the viewer calls, each typed by the header's declaration.
#define VELMORA_LIBRARY_FUNCTION(library, function) \
  inline constexpr Function<decltype(&::function)> function{Library::library, #function};

// ---- brinlib: control connection and commands
VELMORA_LIBRARY_FUNCTION(kBrinlib, brin_connect)
VELMORA_LIBRARY_FUNCTION(kBrinlib, brin_unconnect)
VELMORA_LIBRARY_FUNCTION(kBrinlib, brin_cam_swget)
VELMORA_LIBRARY_FUNCTION(kBrinlib, brin_cam_swset)
VELMORA_LIBRARY_FUNCTION(kBrinlib, brin_hd_swset)
VELMORA_LIBRARY_FUNCTION(kBrinlib, brin_rx_menu_data)
VELMORA_LIBRARY_FUNCTION(kBrinlib, brin_rx_playlist)

// ---- brinlib: live stream and live audio
VELMORA_LIBRARY_FUNCTION(kBrinlib, brin_udp_connect)
VELMORA_LIBRARY_FUNCTION(kBrinlib, brin_udp_rx_start)
VELMORA_LIBRARY_FUNCTION(kBrinlib, brin_udp_rx_stop)
VELMORA_LIBRARY_FUNCTION(kBrinlib, brin_udp_rx)
VELMORA_LIBRARY_FUNCTION(kBrinlib, brin_udp_rx_picture)
VELMORA_LIBRARY_FUNCTION(kBrinlib, brin_udp_rxtime)
VELMORA_LIBRARY_FUNCTION(kBrinlib, brin_udp_rxstatus)
VELMORA_LIBRARY_FUNCTION(kBrinlib, brin_udp_ptzstatus)
VELMORA_LIBRARY_FUNCTION(kBrinlib, brin_udp_close)
VELMORA_LIBRARY_FUNCTION(kBrinlib, brin_udp_count)
VELMORA_LIBRARY_FUNCTION(kBrinlib, brin_udp_dispmode)
VELMORA_LIBRARY_FUNCTION(kBrinlib, wave_play_ctrl)

// ---- brinlib: decoding set-up
VELMORA_LIBRARY_FUNCTION(kBrinlib, decode_init)
VELMORA_LIBRARY_FUNCTION(kBrinlib, decode_deinit)

// ---- brinlib: recorder disk
VELMORA_LIBRARY_FUNCTION(kBrinlib, hdd_get)
VELMORA_LIBRARY_FUNCTION(kBrinlib, hdd_open)
VELMORA_LIBRARY_FUNCTION(kBrinlib, hdd_open_path)
VELMORA_LIBRARY_FUNCTION(kBrinlib, hdd_close)
VELMORA_LIBRARY_FUNCTION(kBrinlib, hdd_read_hdsw)
VELMORA_LIBRARY_FUNCTION(kBrinlib, first_section_play)
VELMORA_LIBRARY_FUNCTION(kBrinlib, read_start_end_sec)
VELMORA_LIBRARY_FUNCTION(kBrinlib, search_play)
VELMORA_LIBRARY_FUNCTION(kBrinlib, get_rec_list)
VELMORA_LIBRARY_FUNCTION(kBrinlib, get_list_start_end_sec)

// ---- brinlib: playback engine and bitmaps
VELMORA_LIBRARY_FUNCTION(kBrinlib, hdd_read_start)
VELMORA_LIBRARY_FUNCTION(kBrinlib, hdd_read_stop)
VELMORA_LIBRARY_FUNCTION(kBrinlib, hdd_play_start)
VELMORA_LIBRARY_FUNCTION(kBrinlib, hdd_play_stop)
VELMORA_LIBRARY_FUNCTION(kBrinlib, hdd_play_forward)
VELMORA_LIBRARY_FUNCTION(kBrinlib, hdd_play_back)
VELMORA_LIBRARY_FUNCTION(kBrinlib, hdd_one_play)
VELMORA_LIBRARY_FUNCTION(kBrinlib, hdd_one_back)
VELMORA_LIBRARY_FUNCTION(kBrinlib, file_read_stop)
VELMORA_LIBRARY_FUNCTION(kBrinlib, file_play_start)
VELMORA_LIBRARY_FUNCTION(kBrinlib, file_play_stop)
VELMORA_LIBRARY_FUNCTION(kBrinlib, file_play_forward)
VELMORA_LIBRARY_FUNCTION(kBrinlib, file_play_back)
VELMORA_LIBRARY_FUNCTION(kBrinlib, file_one_play)
VELMORA_LIBRARY_FUNCTION(kBrinlib, file_one_back)
VELMORA_LIBRARY_FUNCTION(kBrinlib, file_search)
VELMORA_LIBRARY_FUNCTION(kBrinlib, Ovo_play_open)
VELMORA_LIBRARY_FUNCTION(kBrinlib, Ovo_set_viewer_mode)
VELMORA_LIBRARY_FUNCTION(kBrinlib, play_end)
VELMORA_LIBRARY_FUNCTION(kBrinlib, get_dec_sts)
VELMORA_LIBRARY_FUNCTION(kBrinlib, set_init_dec)
VELMORA_LIBRARY_FUNCTION(kBrinlib, clear_dec_err)
VELMORA_LIBRARY_FUNCTION(kBrinlib, audio_set)
VELMORA_LIBRARY_FUNCTION(kBrinlib, set_make_bmp_mode)
VELMORA_LIBRARY_FUNCTION(kBrinlib, make_bmp)
VELMORA_LIBRARY_FUNCTION(kBrinlib, make_bmp_one)
VELMORA_LIBRARY_FUNCTION(kBrinlib, make_bmp_picture)
VELMORA_LIBRARY_FUNCTION(kBrinlib, get_bmpsize)
VELMORA_LIBRARY_FUNCTION(kBrinlib, playfile)
VELMORA_LIBRARY_FUNCTION(kBrinlib, file_read_start_end_sec)
VELMORA_LIBRARY_FUNCTION(kBrinlib, one_farme_view)

// ---- brinlib: copy of a span of the attached disk to a folder
VELMORA_LIBRARY_FUNCTION(kBrinlib, hdd_copy_usb)
VELMORA_LIBRARY_FUNCTION(kBrinlib, hdd_copy_usb_stop)
VELMORA_LIBRARY_FUNCTION(kBrinlib, hdd_copy_usb_get_sts)

// ---- jpegkit
VELMORA_LIBRARY_FUNCTION(kJpegkit, bmp_to_jpeg)
VELMORA_LIBRARY_FUNCTION(kJpegkit, jpeg_to_Vjpeg)

#undef VELMORA_LIBRARY_FUNCTION

}  // namespace velmora::viewer::lib
