// Live audio, as the rest of brinlib sees it: the IMA ADPCM block decoder,
// the downloaded-file source that the data-file player fills, and saving the
// newest audio frame.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "velmora/sync.h"

namespace brin::live {

inline constexpr int kDownloadBuffers = 3;

// Three buffers that the downloaded-file player fills with 16-bit mono PCM at
// 8000 samples per second and marks waiting (queued = 1); the playback thread
// plays them in mode 3 and frees them (queued = 0) once played.
struct DownloadSource {
  const uint8_t* data[kDownloadBuffers] = {};
  size_t bytes[kDownloadBuffers] = {};
  std::atomic<int> queued[kDownloadBuffers] = {};
  std::atomic<int> play_index{0};
};
DownloadSource& download_source();
int audio_play_mode();
// Notified after every change of a buffer flag, the play mode, the audio
// switch or the playback thread's running state; whoever changes one of them
// (the downloaded-file player too) notifies it, holding no lock.
vp::Signal& audio_signal();

// Decodes 2048 bytes of IMA ADPCM (two codes per byte, low nibble first) from
// the given state into 4096 16-bit samples written from out on (8192 bytes).
void decode_adpcm_block(uint8_t* out, const uint8_t* adpcm, int predictor, int index);

// Writes the newest waiting audio frame of kind 2 or 3 to path; the number
// of bytes written, 0 when no new frame was waiting.
int32_t save_audio_frame(int kind, const char* path);

// For tests: the buffer index that the next audio frame of kind 2 or 3 is
// written to (it advances each time a block is taken for playing).
int audio_receive_index(int kind);
// For tests: the buffer the playback thread sends next, and the device state
// (-1 closed, 0 no device, 1 open).
int audio_play_index(int kind);
int audio_device_state();
// For tests: how long closing the stream waits for the device to give back
// the audio buffers it holds (10 s unless changed).
void set_release_wait_for_testing(uint32_t ms);

}  // namespace brin::live
