// Shared between the sound layer's back-ends.
#pragma once
#include <memory>

#include "velmora/sound.h"

namespace vp::sound_detail {

// The paced back-ends: none, and the WAV file sink.
std::unique_ptr<SoundStream> open_none_stream(const PcmFormat& format, SoundError* error);
std::unique_ptr<SoundStream> open_wav_stream(const PcmFormat& format, const std::string& path, SoundError* error);

// The ALSA back-end; kNoDevice when ALSA is not built in.
std::unique_ptr<SoundStream> open_alsa_stream(const PcmFormat& format, SoundError* error);
bool alsa_device_present();

inline void set_error(SoundError* error, SoundError value) {
  if (error) *error = value;
}

inline bool format_supported(const PcmFormat& f) {
  return f.bits_per_sample == 16 && f.channels >= 1 && f.channels <= 8 && f.sample_rate >= 1000 &&
         f.sample_rate <= 192000;
}

}  // namespace vp::sound_detail
