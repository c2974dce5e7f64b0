// The ALSA back-end: the "default" PCM device in blocking mode.
#include <alsa/asoundlib.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "sound_internal.h"
#include "velmora/message.h"

namespace vp::sound_detail {

namespace {

// Device latency asked for: short enough that a writer paced by the device
// stays close to what is heard.
constexpr unsigned kLatencyUs = 60000;

// ALSA prints its diagnostics to standard error; route them to the debugger
// output like the rest of the libraries' diagnostics.
void quiet_error_handler(const char* file, int line, const char* function, int err, const char* fmt, ...) {
  if (!debug_output_enabled()) return;
  char text[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  debug_printf("alsa: %s:%d %s: %s (%d)\n", file, line, function, text, err);
}

void install_error_handler() {
  static std::once_flag once;
  std::call_once(once, [] { snd_lib_error_set_handler(quiet_error_handler); });
}

class AlsaStream : public SoundStream {
 public:
  AlsaStream(snd_pcm_t* pcm, const PcmFormat& format) : pcm_(pcm), format_(format) {}
  ~AlsaStream() override { snd_pcm_close(pcm_); }

  bool write(const void* data, size_t bytes) override {
    const uint32_t align = format_.block_align();
    const size_t frames = bytes / align;
    samples_.resize(frames * format_.channels);
    std::memcpy(samples_.data(), data, samples_.size() * sizeof(int16_t));
    apply_sound_volume(samples_.data(), samples_.size(), format_.channels);
    size_t done = 0;
    while (done < frames) {
      const snd_pcm_sframes_t n = snd_pcm_writei(pcm_, samples_.data() + done * format_.channels, frames - done);
      if (n >= 0) {
        done += static_cast<size_t>(n);
        continue;
      }
      // Under-runs and suspends are recovered; anything else is a failure.
      if (snd_pcm_recover(pcm_, static_cast<int>(n), 1) < 0) {
        debug_printf("alsa: write failed: %s\n", snd_strerror(static_cast<int>(n)));
        return false;
      }
    }
    return true;
  }

  void discard() override {
    snd_pcm_drop(pcm_);
    snd_pcm_prepare(pcm_);
  }

  void drain() override {
    snd_pcm_drain(pcm_);
    snd_pcm_prepare(pcm_);
  }

  size_t queued_bytes() override {
    snd_pcm_sframes_t delay = 0;
    if (snd_pcm_delay(pcm_, &delay) < 0 || delay < 0) return 0;
    return static_cast<size_t>(delay) * format_.block_align();
  }

  const PcmFormat& format() const override { return format_; }

 private:
  snd_pcm_t* pcm_;
  const PcmFormat format_;
  std::vector<int16_t> samples_;
};

}  // namespace

std::unique_ptr<SoundStream> open_alsa_stream(const PcmFormat& format, SoundError* error) {
  install_error_handler();
  snd_pcm_t* pcm = nullptr;
  int rc = snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, 0);
  if (rc < 0) {
    debug_printf("alsa: cannot open the default device: %s\n", snd_strerror(rc));
    set_error(error, SoundError::kNoDevice);
    return nullptr;
  }
  rc = snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, format.channels,
                          format.sample_rate, 1, kLatencyUs);
  if (rc < 0) {
    debug_printf("alsa: format refused: %s\n", snd_strerror(rc));
    snd_pcm_close(pcm);
    set_error(error, SoundError::kFormat);
    return nullptr;
  }
  set_error(error, SoundError::kNone);
  return std::make_unique<AlsaStream>(pcm, format);
}

bool alsa_device_present() {
  install_error_handler();
  snd_pcm_t* pcm = nullptr;
  if (snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) return false;
  snd_pcm_close(pcm);
  return true;
}

}  // namespace vp::sound_detail
