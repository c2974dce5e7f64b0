// The PC's sound output as the viewer's volume controls see it: whether a
// device exists and its volume (left channel in the low 16 bits, right
// channel in the high 16 bits, 0 to 0xFFFF each). The volume is the platform
// sound layer's one process-wide volume, which the libraries' sound output
// uses as well.
#pragma once
#include <cstdint>

namespace velmora::viewer {

bool audio_device_present();
uint32_t audio_volume();
void set_audio_volume(uint32_t volume);

}  // namespace velmora::viewer
