#include "audio_device.h"

#if __has_include(<velmora/sound.h>)
#include <velmora/sound.h>
#define VELMORA_VIEWER_HAVE_SOUND 1
#endif

namespace velmora::viewer {

#ifdef VELMORA_VIEWER_HAVE_SOUND
bool audio_device_present() { return vp::sound_device_present(); }
uint32_t audio_volume() { return vp::sound_volume(); }
void set_audio_volume(uint32_t volume) { vp::set_sound_volume(volume); }
#else
// A platform layer without sound output: the viewer has no device, and its
// audio controls stay disabled.
bool audio_device_present() { return false; }
uint32_t audio_volume() { return 0; }
void set_audio_volume(uint32_t) {}
#endif

}  // namespace velmora::viewer
