// The exported functions: thin wrappers over the library's objects. No
// exception may cross the C boundary, so each body runs through guarded().
#include <exception>

#include "OvoDec1.h"
#include "library.h"
#include "velmora/message.h"

namespace {

template <typename Body>
int32_t guarded(int32_t on_exception, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::exception& e) {
    vp::debug_printf("ovodec: %s\n", e.what());
  } catch (...) {
    vp::debug_printf("ovodec: unexpected exception\n");
  }
  return on_exception;
}

ovo::Library& lib() { return ovo::Library::get(); }

// The entry of the functions that exist only as names.
int32_t no_effect() { return 0; }

}  // namespace

extern "C" {

int32_t Ovo_play_open1(int32_t, int32_t, int32_t, int32_t window) {
  return guarded(-1, [&] { return lib().engine.open(window); });
}

int32_t play_add_ring1(int32_t, const uint8_t* records, int32_t length, int32_t single_frame, int32_t speed) {
  return guarded(-1, [&] { return lib().engine.add_ring(records, length, single_frame, speed); });
}

int32_t stop_play_thread(void) {
  return guarded(-1, [&] {
    lib().engine.request_stop();
    return 0;
  });
}

int32_t Ovo_wait_play_end1(int32_t, int32_t timeout_ms) {
  return guarded(-1, [&] { return lib().engine.wait_ended(timeout_ms); });
}

int32_t set_init_again(void) {
  return guarded(-1, [&] {
    lib().engine.request_reinit();
    return 0;
  });
}

int32_t sound_change(int32_t value) {
  return guarded(-1, [&] { return lib().engine.sound_change(value); });
}

int32_t no_audio_mode_set(int32_t value) {
  return guarded(-1, [&] {
    lib().engine.set_no_audio_mode(value);
    return 0;
  });
}

int32_t Ovo_set_viewer_mode1(int32_t, int32_t mode) {
  return guarded(-1, [&] {
    lib().engine.set_viewer_mode(mode);
    return 0;
  });
}

int32_t err_flag_status(void) {
  return guarded(-1, [&] { return lib().engine.error_flag(); });
}

int32_t err_flag_reset(void) {
  return guarded(-1, [&] {
    lib().engine.reset_error_flag();
    return 0;
  });
}

int32_t get_bmpdata(int32_t* count, int32_t* first_camera, int32_t* second_camera, uint8_t* rgb, uint32_t* time) {
  return guarded(-1, [&] { return lib().engine.get_bmpdata(count, first_camera, second_camera, rgb, time); });
}

int32_t Ovo_use_deinterlace1(int32_t, int32_t flag) {
  return guarded(-1, [&] {
    lib().presentation.set_deinterlace(flag == 1);
    return 0;
  });
}

int32_t Ovo_play_close1(int32_t) { return 0; }

int32_t Ovo_play_seek1(int32_t, int32_t, int32_t) { return no_effect(); }
int32_t Ovo_play_status1(int32_t, int32_t, int32_t) { return no_effect(); }
int32_t Ovo_play_view1(int32_t, int32_t, int32_t) { return no_effect(); }
int32_t Ovo_record_status1(int32_t, int32_t, int32_t) { return no_effect(); }
int32_t show_picture1(int32_t, int32_t, int32_t) { return 0; }

int32_t get_ch_bmp(uint8_t* destination, int32_t* width, int32_t* height, int32_t slot) {
  return guarded(
      -1, [&] { return lib().snapshots.fetch(destination, width, height, slot, lib().presentation.deinterlace()); });
}

int32_t Ovo_set_receive_source1(int32_t, OvoReceiveSource source, void* context) {
  return guarded(-1, [&] {
    lib().receiver.set_source(source, context);
    return 0;
  });
}

int32_t Ovo_set_presenter1(int32_t, OvoPresentPicture picture, OvoPresentTitle title, void* context) {
  return guarded(-1, [&] {
    lib().presentation.set_callbacks(picture, title, context);
    return 0;
  });
}

int32_t Ovo_receive_start1(int32_t, const char* host, int32_t port_a, int32_t port_b, int32_t window) {
  return guarded(-1, [&] { return lib().receiver.start(host, port_a, port_b, window); });
}

int32_t Ovo_receive_stop1(int32_t) {
  return guarded(-1, [&] { return lib().receiver.stop(); });
}

int32_t Ovo_record_open1(int32_t, const char* directory, int32_t request, int32_t value1, int32_t value2) {
  return guarded(-1, [&] { return lib().receiver.record_open(directory, request, value1, value2); });
}

int32_t Ovo_record_close1(int32_t) {
  return guarded(-1, [&] { return lib().receiver.record_close(); });
}

int32_t Ovo_resize_draw_area1(int32_t, int32_t width, int32_t height) {
  return guarded(-1, [&] {
    lib().presentation.set_draw_area(width, height);
    return 0;
  });
}

int32_t Ovo_datasize_wintitle1(int32_t, int32_t title_window, int32_t value) {
  return guarded(-1, [&] {
    lib().presentation.set_title_window(title_window, value);
    return 0;
  });
}

}  // extern "C"
