#include <atomic>
#include <cstdlib>
#include <cstring>

#include "sound_internal.h"
#include "velmora/message.h"

VP_NAMESPACE_BEGIN  // exported (clang applies the namespace's visibility only here)

using namespace sound_detail;

namespace {

std::atomic<uint32_t> g_volume{0xFFFFFFFFu};

}  // namespace

SoundConfig sound_config() {
  SoundConfig config;
  const char* value = std::getenv("VELMORA_AUDIO");
  if (!value || !*value || std::strcmp(value, "alsa") == 0) {
    config.backend = SoundBackend::kAlsa;
  } else if (std::strcmp(value, "none") == 0) {
    config.backend = SoundBackend::kNone;
  } else if (std::strncmp(value, "wav:", 4) == 0 && value[4]) {
    config.backend = SoundBackend::kWav;
    config.wav_path = value + 4;
  } else {
    debug_printf("sound: VELMORA_AUDIO=%s is not alsa, none or wav:PATH; no sound\n", value);
    config.backend = SoundBackend::kNone;
  }
  return config;
}

std::unique_ptr<SoundStream> open_sound_stream(const PcmFormat& format, SoundError* error) {
  set_error(error, SoundError::kNone);
  if (!format_supported(format)) {
    set_error(error, SoundError::kFormat);
    return nullptr;
  }
  const SoundConfig config = sound_config();
  switch (config.backend) {
    case SoundBackend::kNone: return open_none_stream(format, error);
    case SoundBackend::kWav: return open_wav_stream(format, config.wav_path, error);
    case SoundBackend::kAlsa: break;
  }
  return open_alsa_stream(format, error);
}

bool sound_device_present() { return sound_config().backend != SoundBackend::kAlsa || alsa_device_present(); }

void set_sound_volume(uint32_t volume) { g_volume.store(volume); }

uint32_t sound_volume() { return g_volume.load(); }

void apply_sound_volume(int16_t* samples, size_t count, uint16_t channels) {
  const uint32_t volume = g_volume.load();
  const uint32_t left = volume & 0xFFFF;
  const uint32_t right = volume >> 16;
  if (left == 0xFFFF && (channels < 2 || right == 0xFFFF)) return;
  for (size_t i = 0; i < count; ++i) {
    // Channel 1 takes the right value, every other channel the left one.
    const uint32_t v = (channels >= 2 && i % channels == 1) ? right : left;
    samples[i] = static_cast<int16_t>(static_cast<int32_t>(samples[i]) * static_cast<int32_t>(v) / 0xFFFF);
  }
}

}  // namespace vp
