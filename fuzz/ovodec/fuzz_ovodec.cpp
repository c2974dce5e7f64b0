// The first byte picks what the rest is taken as:
//   0: a buffer of frame records for play_add_ring1 (the second byte gives
//      the single-frame flag and the speed code, the third the viewer and
//      no-audio modes);
//   1: a frame record from the receive source;
//   2: a record index file (the first 8 bytes give the data file's size).
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "OvoDec1.h"
#include "ovodec_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0];
  ++data;
  --size;
  switch (mode % 3) {
    case 0: {
      if (size < 2) return 0;
      const int32_t single_frame = data[0] & 1;
      const int32_t speed = (data[0] >> 1) % 9 - 1;
      ovo::Library& lib = ovo::Library::get();
      lib.engine.set_viewer_mode(data[1] & 3);
      lib.engine.set_no_audio_mode((data[1] >> 2) & 1);
      // A heap copy of exactly the given length, so that reading past it is caught.
      auto* copy = new uint8_t[size - 2 + 1];
      std::memcpy(copy, data + 2, size - 2);
      play_add_ring1(0, copy, static_cast<int32_t>(size - 2), single_frame, speed);
      delete[] copy;
      lib.engine.reset_for_test();
      break;
    }
    case 1: {
      ovo::FrameHeader header;
      if (ovo::valid_frame_record(data, size, &header)) {
        const uint8_t* payload = data + ovo::kFrameHeaderBytes;
        ovo::is_key_frame_payload(payload, header.payload_length);
        ovo::find_video_object_layer(payload, header.payload_length);
      }
      break;
    }
    case 2: {
      if (size < 8) return 0;
      uint64_t data_size;
      std::memcpy(&data_size, data, 8);
      ovo::RecordIndex index;
      std::string why;
      ovo::parse_record_index(data + 8, size - 8, data_size, &index, &why);
      break;
    }
  }
  return 0;
}
