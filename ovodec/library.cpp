#include "library.h"

#include "velmora/sync.h"

namespace ovo {
namespace {

SoundOut& library_sound() { return Library::get().sound(); }

}  // namespace

Library& Library::get() {
  static Library library;
  return library;
}

Library::Library()
    : locks{vp::named_mutex("ringDATA"), vp::named_mutex("BMPDATA"), vp::named_mutex("RGBDATA"),
            vp::named_mutex("ERR_SET"), vp::named_mutex("writeDATA")},
      snapshots(locks.bmp),
      engine(locks, worker, snapshots, presentation, library_sound),
      receiver(locks, worker, presentation, library_sound) {}

Library::~Library() {
  // The worker goes first: everything else may be in use by it.
  engine.request_stop();
  receiver.stop();
  worker.join();
}

SoundOut& Library::sound() {
  std::lock_guard<std::mutex> lock(sound_lock_);
  if (!sound_) sound_ = std::make_unique<SoundOut>();
  return *sound_;
}

void Library::replace_sound_for_test(std::unique_ptr<SoundOut> sound) {
  std::lock_guard<std::mutex> lock(sound_lock_);
  sound_ = std::move(sound);
}

}  // namespace ovo
