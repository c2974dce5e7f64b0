// The wave output the live audio plays through: blocks are queued on the
// device and reported back, one by one, when they have been played.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace brin::live {

class WaveDevice {
 public:
  virtual ~WaveDevice() = default;
  // Queues a block of 16-bit mono PCM at 8000 samples per second; done(id)
  // is called from the device's thread once it has been played. False when
  // the device refused the block.
  virtual bool write(const uint8_t* data, size_t len, int id) = 0;
  // Drops every queued block without reporting it.
  virtual void reset() = 0;
};

// Opens the default device for 8000 samples per second, 16 bits, mono, with
// the completion callback; null when there is no device.
std::unique_ptr<WaveDevice> open_wave_device(std::function<void(int id)> done);

// For tests: the devices opened from now on come from open instead (null
// restores the platform's device).
using WaveDeviceOpener = std::unique_ptr<WaveDevice> (*)(std::function<void(int id)> done);
void set_wave_device_for_testing(WaveDeviceOpener open);

}  // namespace brin::live
