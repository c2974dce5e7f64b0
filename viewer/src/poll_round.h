// One round of live polls run side by side. Each poll decodes one camera's
// newest frame, and the library decodes different cameras at once, so a
// round of many new frames takes a fraction of the time it would one after
// the other, and no camera waits for the others long enough for its next
// frame to replace one never shown. Header only, so that the live benchmark
// polls as the viewer does.
#pragma once
#include <algorithm>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace velmora::viewer {

class PollRound {
 public:
  // The threads a round uses, the caller's own among them: one per
  // processor, at most four.
  static int default_threads() { return static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 4u)); }

  explicit PollRound(int threads = default_threads()) {
    for (int t = 1; t < threads; ++t) helpers_.emplace_back([this, t] { help(t); });
  }

  ~PollRound() {
    {
      std::lock_guard<std::mutex> g(lock_);
      quit_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : helpers_) t.join();
  }

  PollRound(const PollRound&) = delete;
  PollRound& operator=(const PollRound&) = delete;

  int threads() const { return static_cast<int>(helpers_.size()) + 1; }

  // Calls poll(i, thread) for every i below count, each once, and returns
  // when all have returned. thread (0 for the caller's own) is below
  // threads(), and no two calls at a time share it, so a poll may use
  // memory of its thread's own.
  void run(int count, const std::function<void(int, int)>& poll) {
    if (count <= 0) return;
    if (helpers_.empty() || count == 1) {
      for (int i = 0; i < count; ++i) poll(i, 0);
      return;
    }
    {
      std::lock_guard<std::mutex> g(lock_);
      poll_ = &poll;
      count_ = count;
      next_ = finished_ = 0;
    }
    wake_.notify_all();
    take_polls(0);
    std::unique_lock<std::mutex> g(lock_);
    done_.wait(g, [&] { return finished_ == count_; });
    poll_ = nullptr;
  }

 private:
  // Takes the round's polls one at a time until none is left. A poll is
  // taken and counted finished under the lock, so a thread late for a
  // round finds nothing left of it and never touches the next round's.
  void take_polls(int thread) {
    std::unique_lock<std::mutex> g(lock_);
    while (poll_ && next_ < count_) {
      const int i = next_++;
      const auto* poll = poll_;
      g.unlock();
      (*poll)(i, thread);
      g.lock();
      if (++finished_ == count_) done_.notify_one();
    }
  }

  void help(int thread) {
    std::unique_lock<std::mutex> g(lock_);
    for (;;) {
      wake_.wait(g, [&] { return quit_ || (poll_ && next_ < count_); });
      if (quit_) return;
      g.unlock();
      take_polls(thread);
      g.lock();
    }
  }

  std::mutex lock_;
  std::condition_variable wake_, done_;
  const std::function<void(int, int)>* poll_ = nullptr;  // the round under way, if any
  int count_ = 0, next_ = 0, finished_ = 0;
  bool quit_ = false;
  std::vector<std::thread> helpers_;
};

}  // namespace velmora::viewer
