#include "libraries.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace velmora::viewer::lib {
namespace {

struct LibraryState {
  const char* file;
  bool tried = false;
  void* handle = nullptr;
};

std::mutex g_mutex;
LibraryState g_libraries[] = {{"libbrinlib.so"}, {"libjpegkit.so"}};
std::map<std::string, void*> g_bound;
std::set<std::string> g_reported;

std::string program_folder() {
  char path[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  std::string p(path, static_cast<size_t>(n));
  const size_t slash = p.rfind('/');
  return slash == std::string::npos ? "." : p.substr(0, slash);
}

void report_once(const std::string& what) {
  if (!g_reported.insert(what).second) return;
  std::fprintf(stderr, "velmora: %s\n", what.c_str());
}

void* open_library(LibraryState& lib) {
  if (lib.tried) return lib.handle;
  lib.tried = true;
  std::vector<std::string> candidates;
  if (const char* dir = std::getenv("VELMORA_LIB_DIR"); dir && *dir) candidates.push_back(std::string(dir) + "/" + lib.file);
  const std::string here = program_folder();
  candidates.push_back(here + "/../lib/" + lib.file);
  candidates.push_back(here + "/" + lib.file);
  candidates.push_back(lib.file);
  std::string errors;
  for (const std::string& c : candidates) {
    if (c.find('/') != std::string::npos && ::access(c.c_str(), F_OK) != 0) continue;
    if (void* h = ::dlopen(c.c_str(), RTLD_NOW | RTLD_LOCAL)) {
      lib.handle = h;
      return h;
    }
    if (const char* e = ::dlerror()) errors += std::string("\n  ") + e;
  }
  report_once(std::string("cannot load ") + lib.file + errors);
  return nullptr;
}

}  // namespace

void* library_handle(Library library) {
  std::lock_guard<std::mutex> g(g_mutex);
  return open_library(g_libraries[static_cast<int>(library)]);
}

void* bind(Library library, const char* name) {
  std::lock_guard<std::mutex> g(g_mutex);
  LibraryState& lib = g_libraries[static_cast<int>(library)];
  const std::string key = std::string(lib.file) + ":" + name;
  if (auto it = g_bound.find(key); it != g_bound.end()) return it->second;
  void* handle = open_library(lib);
  void* fn = handle ? ::dlsym(handle, name) : nullptr;
  if (handle && !fn) report_once(std::string(lib.file) + " has no function " + name);
  g_bound[key] = fn;
  return fn;
}

bool available(Library library, const char* name) { return bind(library, name) != nullptr; }

namespace {

// Calls the bound function with the wrapper's own argument types, or gives
// `missing` when it cannot be bound.
template <typename R, typename... A>
R call(Library library, const char* name, R missing, A... args) {
  using Fn = R (*)(A...);
  auto fn = reinterpret_cast<Fn>(bind(library, name));
  return fn ? fn(args...) : missing;
}

template <typename... A>
int32_t brin(const char* name, A... args) {
  return call<int32_t, A...>(Library::kBrinlib, name, kMissing, args...);
}

}  // namespace

int32_t brin_connect(int32_t cn, const char* address, const char* password, char* reply_text) {
  return brin("brin_connect", cn, address, password, reply_text);
}
int32_t brin_unconnect(int32_t cn, int32_t a, int32_t b, int32_t c) { return brin("brin_unconnect", cn, a, b, c); }
int32_t brin_cam_swget(int32_t cn, int32_t item) { return brin("brin_cam_swget", cn, item); }
int32_t brin_cam_swset(int32_t cn, int32_t a, int32_t b) { return brin("brin_cam_swset", cn, a, b); }
int32_t brin_hd_swset(int32_t cn, int32_t a, int32_t b) { return brin("brin_hd_swset", cn, a, b); }
int32_t brin_rx_menu_data(int32_t cn, int32_t value, uint8_t* data) {
  return brin("brin_rx_menu_data", cn, value, data);
}
int32_t brin_rx_playlist(int32_t cn, int32_t list) { return brin("brin_rx_playlist", cn, list); }

int32_t brin_udp_connect(const char* address, int32_t base_port, int32_t unused) {
  return brin("brin_udp_connect", address, base_port, unused);
}
int32_t brin_udp_rx_start(int32_t a, int32_t b, int32_t c, int32_t d) { return brin("brin_udp_rx_start", a, b, c, d); }
int32_t brin_udp_rx_stop() { return brin("brin_udp_rx_stop"); }
int32_t brin_udp_rx(int32_t channel, int32_t kind) { return brin("brin_udp_rx", channel, kind); }
RxTime* brin_udp_rxtime(int32_t kind, RxTime* out) {
  return call<RxTime*, int32_t, RxTime*>(Library::kBrinlib, "brin_udp_rxtime", nullptr, kind, out);
}
int32_t brin_udp_rxstatus(int32_t mode, uint8_t* flags, uint8_t* channel, uint16_t* status, uint16_t* control1,
                          uint16_t* control2, uint16_t* control3) {
  return brin("brin_udp_rxstatus", mode, flags, channel, status, control1, control2, control3);
}
int32_t brin_udp_ptzstatus(int32_t channel, uint16_t* v1, uint16_t* v2, uint16_t* v3) {
  return brin("brin_udp_ptzstatus", channel, v1, v2, v3);
}
int32_t brin_udp_close() { return brin("brin_udp_close"); }
int32_t brin_udp_count(int32_t cn, int32_t direction, int32_t a, int32_t b) {
  return brin("brin_udp_count", cn, direction, a, b);
}
int32_t brin_udp_dispmode(int32_t cn, int32_t selected, int32_t mode) {
  return brin("brin_udp_dispmode", cn, selected, mode);
}
int32_t wave_play_ctrl(int32_t mode) { return brin("wave_play_ctrl", mode); }

int32_t decode_init() { return brin("decode_init"); }
void decode_deinit() {
  if (auto fn = reinterpret_cast<void (*)()>(bind(Library::kBrinlib, "decode_deinit"))) fn();
}

int32_t hdd_get(int32_t drive) { return brin("hdd_get", drive); }
int32_t hdd_open(int32_t drive) { return brin("hdd_open", drive); }
int32_t hdd_close() { return brin("hdd_close"); }
int32_t hdd_read_hdsw(uint32_t* values128) { return brin("hdd_read_hdsw", values128); }
int32_t first_section_play() { return brin("first_section_play"); }
int32_t read_start_end_sec(uint32_t* start, uint32_t* end) { return brin("read_start_end_sec", start, end); }
int32_t search_play(uint32_t time) { return brin("search_play", time); }
int32_t get_rec_list(int32_t* count, int32_t* oldest) { return brin("get_rec_list", count, oldest); }
int32_t get_list_start_end_sec(int32_t index, uint32_t* start, uint32_t* end, int32_t* kind) {
  return brin("get_list_start_end_sec", index, start, end, kind);
}

int32_t hdd_read_start() { return brin("hdd_read_start"); }
int32_t hdd_read_stop() { return brin("hdd_read_stop"); }
int32_t hdd_play_start() { return brin("hdd_play_start"); }
int32_t hdd_play_stop() { return brin("hdd_play_stop"); }
int32_t hdd_play_forward(int32_t speed) { return brin("hdd_play_forward", speed); }
int32_t hdd_play_back(int32_t speed) { return brin("hdd_play_back", speed); }
int32_t hdd_one_play() { return brin("hdd_one_play"); }
int32_t hdd_one_back() { return brin("hdd_one_back"); }
int32_t file_read_stop() { return brin("file_read_stop"); }
int32_t file_play_start() { return brin("file_play_start"); }
int32_t file_play_stop() { return brin("file_play_stop"); }
int32_t file_play_forward(int32_t speed) { return brin("file_play_forward", speed); }
int32_t file_play_back(int32_t speed) { return brin("file_play_back", speed); }
int32_t file_one_play() { return brin("file_one_play"); }
int32_t file_one_back() { return brin("file_one_back"); }
int32_t file_search(uint32_t time) { return brin("file_search", time); }
int32_t Ovo_play_open(int32_t unused, const char* a, const char* b, int32_t c) {
  return brin("Ovo_play_open", unused, a, b, c);
}
int32_t Ovo_set_viewer_mode(int32_t channel, int32_t mode) { return brin("Ovo_set_viewer_mode", channel, mode); }
int32_t play_end() { return brin("play_end"); }
int32_t get_dec_sts() { return brin("get_dec_sts"); }
int32_t set_init_dec() { return brin("set_init_dec"); }
int32_t clear_dec_err() { return brin("clear_dec_err"); }
int32_t audio_set(int32_t flag) { return brin("audio_set", flag); }
int32_t set_make_bmp_mode(int32_t mode) { return brin("set_make_bmp_mode", mode); }
int32_t make_bmp(int32_t* layout, int32_t* first, int32_t* second, uint32_t* time, int32_t* idle) {
  return brin("make_bmp", layout, first, second, time, idle);
}
int32_t make_bmp_one(int32_t* layout, int32_t* first, int32_t* second, uint32_t* time) {
  return brin("make_bmp_one", layout, first, second, time);
}
int32_t get_bmpsize(const char* path, int32_t* width, int32_t* height) {
  return brin("get_bmpsize", path, width, height);
}
int32_t playfile(const char* data_path, const char* index_path, const char* unused) {
  return brin("playfile", data_path, index_path, unused);
}
int32_t file_read_start_end_sec(uint32_t* start, uint32_t* end) { return brin("file_read_start_end_sec", start, end); }
int32_t one_farme_view(const char* path, const char* unused) { return brin("one_farme_view", path, unused); }

int32_t hdd_copy_usb(const char* folder, uint32_t start, uint32_t end) {
  return brin("hdd_copy_usb", folder, start, end);
}
int32_t hdd_copy_usb_stop() { return brin("hdd_copy_usb_stop"); }
int32_t hdd_copy_usb_get_sts(int32_t* status) { return brin("hdd_copy_usb_get_sts", status); }

int32_t bmp_to_jpeg(const char* source, const char* destination, int32_t quality) {
  return call<int32_t, const char*, const char*, int32_t>(Library::kJpegkit, "bmp_to_jpeg", kMissing, source,
                                                         destination, quality);
}
int32_t jpeg_to_Vjpeg(const char* source, int32_t start_offset, int32_t picture_offset, int32_t scale_shift,
                      const char* destination) {
  return call<int32_t, const char*, int32_t, int32_t, int32_t, const char*>(
      Library::kJpegkit, "jpeg_to_Vjpeg", kMissing, source, start_offset, picture_offset, scale_shift, destination);
}

}  // namespace velmora::viewer::lib
