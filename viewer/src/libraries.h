// The viewer's one way into the recorder client library (libbrinlib.so) and
// the image library (libjpegkit.so).
//
// Both libraries are loaded with dlopen when a function of theirs is first
// called, and each function is bound by name on its own first call. A
// library or function that is missing fails that call only: the wrapper
// returns kMissing (or a null pointer) and says so once on standard error.
// The C signatures are written out here, so the viewer does not depend on
// the libraries' headers and builds whichever of them exist.
//
// Every wrapper is called from the user-interface thread.
#pragma once
#include <cstdint>
#include <string>

namespace velmora::viewer::lib {

// Result of a call whose library or function is missing.
inline constexpr int32_t kMissing = INT32_MIN;

enum class Library { kBrinlib, kJpegkit };

// Where the libraries are looked for: the folder in VELMORA_LIB_DIR when set,
// then the folder "lib" beside the program's folder, then the system's
// search path.
void* library_handle(Library library);
// Whether the named function can be called.
bool available(Library library, const char* name);
// Binds name, or returns nullptr (saying so once).
void* bind(Library library, const char* name);

// The time of the newest live frame: year - 2000, month, day, hour in
// `time` (one per byte, lowest byte first), minute and second in `fraction`.
struct RxTime {
  uint32_t time;
  uint16_t fraction;
};

// ---- brinlib: control connection and commands
int32_t brin_connect(int32_t cn, const char* address, const char* password, char* reply_text);
int32_t brin_unconnect(int32_t cn, int32_t unused1, int32_t unused2, int32_t unused3);
int32_t brin_cam_swget(int32_t cn, int32_t item);
int32_t brin_cam_swset(int32_t cn, int32_t a, int32_t b);
int32_t brin_hd_swset(int32_t cn, int32_t a, int32_t b);
int32_t brin_rx_menu_data(int32_t cn, int32_t value, uint8_t* data);
int32_t brin_rx_playlist(int32_t cn, int32_t list);

// ---- brinlib: live stream and live audio
int32_t brin_udp_connect(const char* address, int32_t base_port, int32_t unused);
int32_t brin_udp_rx_start(int32_t a, int32_t b, int32_t c, int32_t d);
int32_t brin_udp_rx_stop();
int32_t brin_udp_rx(int32_t channel, int32_t kind);
RxTime* brin_udp_rxtime(int32_t kind, RxTime* out);
int32_t brin_udp_rxstatus(int32_t mode, uint8_t* flags, uint8_t* channel, uint16_t* status, uint16_t* control1,
                          uint16_t* control2, uint16_t* control3);
int32_t brin_udp_ptzstatus(int32_t channel, uint16_t* v1, uint16_t* v2, uint16_t* v3);
int32_t brin_udp_close();
int32_t brin_udp_count(int32_t cn, int32_t direction, int32_t a, int32_t b);
int32_t brin_udp_dispmode(int32_t cn, int32_t selected, int32_t mode);
int32_t wave_play_ctrl(int32_t mode);

// ---- brinlib: decoding set-up
int32_t decode_init();
void decode_deinit();

// ---- brinlib: recorder disk
int32_t hdd_get(int32_t drive);
int32_t hdd_open(int32_t drive);
int32_t hdd_close();
int32_t hdd_read_hdsw(uint32_t* values128);
int32_t first_section_play();
int32_t read_start_end_sec(uint32_t* start, uint32_t* end);
int32_t search_play(uint32_t time);
int32_t get_rec_list(int32_t* count, int32_t* oldest);
int32_t get_list_start_end_sec(int32_t index, uint32_t* start, uint32_t* end, int32_t* kind);

// ---- brinlib: playback engine and bitmaps
int32_t hdd_read_start();
int32_t hdd_read_stop();
int32_t hdd_play_start();
int32_t hdd_play_stop();
int32_t hdd_play_forward(int32_t speed);
int32_t hdd_play_back(int32_t speed);
int32_t hdd_one_play();
int32_t hdd_one_back();
int32_t file_read_stop();
int32_t file_play_start();
int32_t file_play_stop();
int32_t file_play_forward(int32_t speed);
int32_t file_play_back(int32_t speed);
int32_t file_one_play();
int32_t file_one_back();
int32_t file_search(uint32_t time);
int32_t Ovo_play_open(int32_t unused, const char* a, const char* b, int32_t c);
int32_t Ovo_set_viewer_mode(int32_t channel, int32_t mode);
int32_t play_end();
int32_t get_dec_sts();
int32_t set_init_dec();
int32_t clear_dec_err();
int32_t audio_set(int32_t flag);
int32_t set_make_bmp_mode(int32_t mode);
int32_t make_bmp(int32_t* layout, int32_t* first, int32_t* second, uint32_t* time, int32_t* idle);
int32_t make_bmp_one(int32_t* layout, int32_t* first, int32_t* second, uint32_t* time);
int32_t get_bmpsize(const char* path, int32_t* width, int32_t* height);
int32_t playfile(const char* data_path, const char* index_path, const char* unused);
int32_t file_read_start_end_sec(uint32_t* start, uint32_t* end);
int32_t one_farme_view(const char* path, const char* unused);

// ---- brinlib: copy of a span of the attached disk to a folder
int32_t hdd_copy_usb(const char* folder, uint32_t start, uint32_t end);
int32_t hdd_copy_usb_stop();
int32_t hdd_copy_usb_get_sts(int32_t* status);

// ---- jpegkit
int32_t bmp_to_jpeg(const char* source, const char* destination, int32_t quality);
int32_t jpeg_to_Vjpeg(const char* source, int32_t start_offset, int32_t picture_offset, int32_t scale_shift,
                      const char* destination);

}  // namespace velmora::viewer::lib
