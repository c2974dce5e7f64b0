// The library's process-wide state: its named locks, the one worker thread,
// the playback engine, the sound output, the snapshot store, the receive
// path and its presentation. Made when first used and kept until the
// process ends.
#pragma once
#include <memory>
#include <mutex>

#include "engine.h"
#include "presenter.h"
#include "receive.h"
#include "snapshot.h"
#include "sound_out.h"
#include "worker.h"

namespace ovo {

class Library {
 public:
  static Library& get();
  ~Library();

  Locks locks;
  SnapshotStore snapshots;
  Presentation presentation;
  // The sound output, made by the first thread that opens it.
  SoundOut& sound();
  // For tests: replaces the sound output (null: the next open makes a new one).
  void replace_sound_for_test(std::unique_ptr<SoundOut> sound);

  WorkerSlot worker;
  Engine engine;
  Receiver receiver;

 private:
  Library();
  std::mutex sound_lock_;
  std::unique_ptr<SoundOut> sound_;
};

}  // namespace ovo
