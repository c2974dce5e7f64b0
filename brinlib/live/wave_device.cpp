#include "live/wave_device.h"

#include <atomic>

#include "velmora/sound.h"

namespace brin::live {
namespace {

// The wave output on the platform's block queue: blocks are played in order
// and each is reported back when played.
class QueueWaveDevice : public WaveDevice {
 public:
  explicit QueueWaveDevice(std::unique_ptr<vp::SoundBlockQueue> queue) : queue_(std::move(queue)) {}
  bool write(const uint8_t* data, size_t len, int id) override {
    return queue_->write(data, len, static_cast<uintptr_t>(id));
  }
  void reset() override { queue_->reset(); }

 private:
  std::unique_ptr<vp::SoundBlockQueue> queue_;
};

std::atomic<WaveDeviceOpener> g_opener{nullptr};

}  // namespace

void set_wave_device_for_testing(WaveDeviceOpener open) { g_opener.store(open); }

std::unique_ptr<WaveDevice> open_wave_device(std::function<void(int id)> done) {
  if (WaveDeviceOpener open = g_opener.load()) return open(std::move(done));
  if (!vp::sound_device_present()) return nullptr;
  vp::PcmFormat format;
  format.sample_rate = 8000;
  format.channels = 1;
  format.bits_per_sample = 16;
  auto queue = vp::open_sound_block_queue(format, [done](uintptr_t user) { done(static_cast<int>(user)); });
  if (!queue) return nullptr;
  return std::make_unique<QueueWaveDevice>(std::move(queue));
}

}  // namespace brin::live
