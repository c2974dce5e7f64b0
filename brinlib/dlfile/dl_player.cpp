// The downloaded-file player: one data file open at a time, read by a player
// thread that decodes the shown channel's video into per-channel pictures,
// plays its audio through the wave output's downloaded-file source, and
// paces both by their time stamps. The frame index lets the key-picture
// modes jump from intra picture to intra picture; it is loaded from
// ".index" or built in steps and written once.
#include "dlfile/dl_player.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "brinlib.h"
#include "common/guard.h"
#include "common/replace_file.h"
#include "decode/decoders.h"
#include "dlfile/dl_format.h"
#include "dlfile/dl_media.h"
#include "live/live_audio.h"
#include "velmora/bmp_file.h"
#include "velmora/clock.h"
#include "velmora/message.h"
#include "velmora/rectime.h"
#include "velmora/sync.h"

namespace brin::dl {
namespace {

constexpr int kChannels = 16;
constexpr size_t kBmpFolderChars = 199;
constexpr int64_t kTailScanBytes = 524288;  // where the last intra picture is looked for
constexpr int kTailScanPackets = 1000;
constexpr int kSearchWalkPackets = 100;
constexpr uint32_t kTicksPerSecond = 90000;
// The longest single pacing wait; a longer one takes a new time reference.
constexpr uint32_t kMaxPaceSleepMs = 3000;
// How long Mpeg4DLdata_fileopen waits for the new player thread to run.
constexpr uint32_t kStartWaitMs = 10000;
// How long a decoded audio block waits for its wave-output buffer.
constexpr uint32_t kAudioWaitMs = 2000;
// The player thread is woken by every control change it waits for; with
// nothing to play it also looks again this often, as a fallback only.
constexpr uint32_t kIdleCheckMs = 100;
constexpr size_t kPlayedTrace = 4096;

// Play modes.
enum Mode : int {
  kPlay = 0,
  kWait1 = 1,
  kWait2 = 2,
  kBackKeys = 3,
  kBackKeysFast = 4,
  kBackKeysNoWait = 5,
  kForwardKeysNoWait = 6,
  kForwardKeysFast = 7,
  kClose = 8,
  kOpening = 9,
};

enum class Direction { kForward, kBackward };

bool key_mode(int m) { return m >= kBackKeys && m <= kForwardKeysFast; }

// Pacing factor of a mode: the wait for a time step is step / (|factor| x 90)
// milliseconds; 0 means no wait.
int pace_factor(int m) {
  switch (m) {
    case kPlay: return 1;
    case kBackKeys: return -1;
    case kBackKeysFast: return -2;
    case kForwardKeysFast: return 2;
    default: return 0;
  }
}

struct ChannelPicture {
  std::mutex lock;
  std::vector<uint8_t> rgb;  // bottom-up rows of width * 3 bytes
  int width = 0;
  int height = 0;
  std::atomic<int> fresh{0};
};

struct Player {
  std::atomic<bool> initialised{false};
  std::atomic<int> displayed{-1};
  std::atomic<int> mode{kOpening};
  std::atomic<int32_t> base_time{0};
  std::atomic<uint32_t> current_time{0};
  std::atomic<bool> resync{false};  // a position change the player has not taken up
  ChannelPicture pictures[kChannels];

  // The file, the position and the index: guarded by `global`.
  std::mutex global;
  bool open = false;
  DataReader reader;
  int64_t size = 0;
  int64_t data_start = 0;
  uint32_t first_time = 0;
  uint32_t last_time = 0;
  int64_t position = 0;
  int entry = 0;
  Direction direction = Direction::kForward;  // of the player thread
  std::vector<IndexEntry> index;
  bool index_complete = false;
  int video_mask = 0;
  int audio_mask = 0;
  IntervalClass interval;
  int64_t last_intra_position = 0;
  uint32_t last_intra_back = 0;

  // The index build scans with a reader of its own (the caller's thread).
  std::string path;
  DataReader build_reader;
  IndexBuild build;

  std::string bmp_folder;
  std::thread thread;
  std::atomic<bool> thread_running{false};
  // The player thread's packet buffer, allocated by the first thread and kept
  // for the next file's (one runs at a time).
  std::unique_ptr<uint8_t[]> work;
  // Notified after every change of mode, displayed, resync or thread_running.
  vp::Signal changed;

  std::mutex trace_lock;
  std::deque<testing::Played> trace;

  ~Player() {
    mode.store(kClose);
    changed.notify();
    if (thread.joinable()) thread.join();
  }
};

// Wakes the player thread's waits, including its wait for a wave-output
// buffer, which waits on the audio signal.
void notify_player(Player& s) {
  s.changed.notify();
  live::audio_signal().notify();
}

// Notifies when it goes out of scope: declared before a lock, so that the
// notification comes after the lock is released.
struct NotifyAtExit {
  Player& s;
  ~NotifyAtExit() { notify_player(s); }
};

Player& player() {
  static Player p;
  return p;
}

// The wave output plays these; they are never freed, so a block still on
// the device when the player ends stays valid.
alignas(16) uint8_t g_audio_blocks[live::kDownloadBuffers][kAudioPcmBytes];

int32_t clamp_int32(int64_t v) { return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX)); }

// RecSeconds as seconds since 1970, read as local time without daylight
// saving.
int64_t rec_seconds_to_unix(uint32_t rec) {
  const vp::RecTime t = vp::rec_time_from_seconds(rec);
  std::tm tm{};
  tm.tm_year = 100 + t.year;
  tm.tm_mon = t.month - 1;
  tm.tm_mday = t.day;
  tm.tm_hour = t.hour;
  tm.tm_min = t.minute;
  tm.tm_sec = t.second;
  tm.tm_isdst = 0;
  return static_cast<int64_t>(std::mktime(&tm));
}

// ---- index (global held) ----

bool matches(const Player& s, int e, int disp) {
  const IndexEntry& x = s.index[static_cast<size_t>(e)];
  if (x.kind == kVideoEntry) return disp < 0 || disp >= kChannels || x.channel == disp;
  return disp < 0 || disp > 3 || x.channel == disp;
}

// The next entry from `from` in the direction that matches the shown
// channel; inclusive also considers `from` itself. -1 when there is none.
int next_match(const Player& s, int from, Direction dir, int disp, bool inclusive) {
  const int n = static_cast<int>(s.index.size());
  const int step = dir == Direction::kForward ? 1 : -1;
  for (int i = inclusive ? from : from + step; i >= 0 && i < n; i += step)
    if (matches(s, i, disp)) return i;
  return -1;
}

// Takes up a new position for the direction: forward the first entry at or
// after it, backward the last one before it. Returns false when nothing lies
// that way (the entry then is the last, or the first, one).
bool entry_for_position(Player& s, Direction dir) {
  const int n = static_cast<int>(s.index.size());
  if (n == 0) {
    s.entry = 0;
    return false;
  }
  if (dir == Direction::kForward) {
    for (int i = 0; i < n; ++i)
      if (static_cast<int64_t>(s.index[static_cast<size_t>(i)].position) >= s.position) {
        s.entry = i;
        return true;
      }
    s.entry = n - 1;
    return false;
  }
  for (int i = n - 1; i >= 0; --i)
    if (static_cast<int64_t>(s.index[static_cast<size_t>(i)].position) < s.position) {
      s.entry = i;
      return true;
    }
  s.entry = 0;
  return false;
}

// While playing forward the entry follows the packets read.
void follow_entry(Player& s, int64_t packet_position) {
  const int n = static_cast<int>(s.index.size());
  while (s.entry + 1 < n && static_cast<int64_t>(s.index[static_cast<size_t>(s.entry + 1)].position) <= packet_position)
    ++s.entry;
}

// The position on a 0..scale scale: the end (or the last index entry) is
// scale; a position past the data start is at least 1.
int32_t scaled(const Player& s, int64_t pos, int32_t scale, bool at_last_entry) {
  if (pos >= s.size || at_last_entry) return scale;
  const int64_t done = std::max<int64_t>(0, pos - s.data_start);
  const int64_t unit = s.size / scale;
  int64_t v = unit > 0 ? done / unit : done * scale / s.size;
  v = std::clamp<int64_t>(v, 0, scale);
  if (v == 0 && pos > s.data_start) v = 1;
  return static_cast<int32_t>(v);
}

void set_masks_from_index(Player& s) {
  int v = 0, a = 0;
  index_masks(s.index, &v, &a);
  s.video_mask = v;
  // Audio channels count only while the audio output is on.
  s.audio_mask = live::audio_play_mode() != 0 ? a : 0;
}

// ---- index build (caller's thread) ----

// One build step; see build_index_step. When the build completes the index
// file is written whole and the interval class set.
int build_step(Player& s, const char* folder, int steps) {
  {
    std::lock_guard<std::mutex> g(s.global);
    if (s.index_complete) return steps;
  }
  if (!s.build_reader.is_open()) s.build_reader.open(s.path.c_str());
  if (!s.build_reader.is_open()) return 0;
  const int r = build_index_step(s.build_reader, s.data_start, steps, &s.build, [&](const IndexEntry& e) {
    std::lock_guard<std::mutex> g(s.global);
    if (s.index.size() < kIndexEntries) s.index.push_back(e);
  });
  if (!s.build.complete) return r;
  std::lock_guard<std::mutex> g(s.global);
  write_index_file(index_path(folder), s.index);
  s.index_complete = true;
  set_masks_from_index(s);
  s.interval = interval_class(s.index);
  return steps;
}

// Loads "<folder>/.index" when it exists, else starts the build.
void load_or_build_index(Player& s, const char* folder, int steps) {
  {
    std::lock_guard<std::mutex> g(s.global);
    s.index.clear();
    s.index_complete = false;
    s.video_mask = s.audio_mask = 0;
    s.interval = IntervalClass{};
    s.build = IndexBuild{};
    s.build.position = s.data_start;
  }
  const std::string path = index_path(folder);
  if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
    std::vector<IndexEntry> index = read_index_file(f, s.size);
    std::fclose(f);
    std::lock_guard<std::mutex> g(s.global);
    s.index = std::move(index);
    s.index_complete = true;
    set_masks_from_index(s);
    s.interval = interval_class(s.index);
    return;
  }
  build_step(s, folder, steps);
}

// The last intra picture: from the index when it is complete, else from a
// scan of the file's tail. Sets the last packet time.
void find_last_intra(Player& s) {
  uint8_t probe[kProbeBytes];
  bool found = false;
  uint32_t time = s.first_time;
  Packet p;
  if (s.index_complete) {
    for (auto it = s.index.rbegin(); it != s.index.rend(); ++it) {
      if (it->kind != kVideoEntry) continue;
      if (s.reader.locate(static_cast<int64_t>(it->position), &p) && p.kind == kVideoPacket) {
        const Probe v = probe_video(probe, s.reader.read(p, probe, sizeof probe));
        time = v.has_time ? v.time : p.time;
        found = true;
      }
      break;
    }
  }
  if (!found) {
    int64_t pos = s.size - s.data_start > kTailScanBytes ? s.size - kTailScanBytes : s.data_start;
    for (int n = 0; n < kTailScanPackets && s.reader.locate(pos, &p); ++n) {
      if (p.kind == kVideoPacket) {
        const Probe v = probe_video(probe, s.reader.read(p, probe, sizeof probe));
        if (v.coding_type == 1) {
          found = true;
          time = v.has_time ? v.time : p.time;
          s.last_intra_position = p.position;
          s.last_intra_back = p.back_distance;
        }
      }
      pos = p.position + static_cast<int64_t>(p.length);
    }
    if (!found) s.last_intra_position = s.data_start;
  } else {
    s.last_intra_position = p.position;
    s.last_intra_back = p.back_distance;
  }
  s.last_time = time;
}

// ---- player thread ----

struct Clock {
  bool set = false;
  uint32_t time = 0;
  uint32_t tick = 0;
};

void record_played(Player& s, const Packet& p, bool picture) {
  std::lock_guard<std::mutex> g(s.trace_lock);
  if (s.trace.size() >= kPlayedTrace) s.trace.pop_front();
  s.trace.push_back({p.position, p.channel, p.time, picture});
}

// True when the mode, the shown channel or the position changed since the
// player took mode and disp.
bool controls_changed(const Player& s, int mode, int disp) {
  return s.mode.load() != mode || s.displayed.load() != disp || s.resync.load();
}

// Waits up to ms, ending early when the mode, the shown channel or the
// position changes.
void interruptible_sleep(Player& s, uint32_t ms, int mode, int disp) {
  s.changed.wait_for(ms, [&] { return controls_changed(s, mode, disp); });
}

void pace(Player& s, Clock& c, uint32_t time, int factor, int mode, int disp) {
  if (factor == 0) return;
  const uint32_t now = vp::time_get_time_ms();
  if (!c.set) {
    c = {true, time, now};
    return;
  }
  const int32_t step = factor > 0 ? static_cast<int32_t>(time - c.time) : static_cast<int32_t>(c.time - time);
  if (step < 0) {
    c = {true, time, now};  // the time went the other way: a new reference
    return;
  }
  const uint32_t wait_ms = static_cast<uint32_t>(step) / (static_cast<uint32_t>(std::abs(factor)) * 90u);
  const uint32_t spent = vp::elapsed_ms(c.tick, now);
  if (wait_ms <= spent) return;
  const uint32_t sleep = wait_ms - spent;
  interruptible_sleep(s, std::min(sleep, kMaxPaceSleepMs), mode, disp);
  if (sleep > kMaxPaceSleepMs) c = {true, time, vp::time_get_time_ms()};
}

// Hands a decoded audio packet to the wave output's downloaded-file source,
// waiting (while nothing else changes) for its next buffer to be free.
void play_audio(Player& s, const uint8_t* packet, size_t length, int* slot, int mode, int disp) {
  live::DownloadSource& d = live::download_source();
  bool idle = true;
  for (auto& q : d.queued) idle = idle && q.load() == 0;
  // With nothing queued the output may have restarted from its first
  // buffer; filling goes on where it will play next.
  if (idle) *slot = d.play_index.load() % live::kDownloadBuffers;
  const int i = *slot;
  live::audio_signal().wait_for(kAudioWaitMs, [&] {
    return d.queued[i].load() == 0 || controls_changed(s, mode, disp) || live::audio_play_mode() != 3;
  });
  if (controls_changed(s, mode, disp) || live::audio_play_mode() != 3) return;
  if (d.queued[i].load() != 0) return;  // the output is not taking sound: the block is dropped
  if (!decode_audio_packet(packet, length, g_audio_blocks[i])) return;
  d.data[i] = g_audio_blocks[i];
  d.bytes[i] = kAudioPcmBytes;
  d.queued[i].store(1);
  live::audio_signal().notify();
  *slot = (i + 1) % live::kDownloadBuffers;
}

// Decodes a video packet and makes the picture its channel's newest.
bool show_picture(Player& s, const uint8_t* packet, size_t length) {
  int channel = -1;
  if (decode::decode_packet(packet, length, &channel) != 1 || channel < 0 || channel >= kChannels) return false;
  std::vector<uint8_t> rgb;
  int w = 0, h = 0;
  if (!decode::copy_picture(channel, &rgb, &w, &h)) return false;
  ChannelPicture& pic = s.pictures[channel];
  std::lock_guard<std::mutex> g(pic.lock);
  pic.rgb.swap(rgb);
  pic.width = w;
  pic.height = h;
  pic.fresh.store(1);
  return true;
}

void player_thread() {
  Player& s = player();
  if (!s.work) s.work.reset(new (std::nothrow) uint8_t[kMaxPacketBytes]);
  uint8_t* const work = s.work.get();
  int expected = kOpening;
  s.mode.compare_exchange_strong(expected, kWait2);  // a newly opened file waits
  notify_player(s);
  Direction dir = Direction::kForward;
  int last_mode = -1, last_disp = -100;
  Clock clocks[kChannels];
  int audio_slot = 0;
  bool shown = true;     // key modes: the current entry has been shown
  bool at_edge = false;  // key modes: no matching entry lies further that way
  for (;;) {
    const int m = s.mode.load();
    if (m == kClose) break;
    const int disp = s.displayed.load();
    Direction want = dir;
    if (m >= kBackKeys && m <= kBackKeysNoWait) want = Direction::kBackward;
    if (m == kPlay || m == kForwardKeysNoWait || m == kForwardKeysFast) want = Direction::kForward;
    if (want != dir || s.resync.load()) {
      std::lock_guard<std::mutex> g(s.global);
      s.direction = want;
      s.resync.store(false);
      // Nothing that way: the entry counts as shown, so the next step finds
      // the edge.
      shown = !entry_for_position(s, want);
      at_edge = false;
    }
    dir = want;
    if (m != last_mode || disp != last_disp) {
      for (Clock& c : clocks) c = Clock{};
      last_mode = m;
      last_disp = disp;
    }
    if (!work || !(m == kPlay || key_mode(m))) {
      s.changed.wait_for(kIdleCheckMs, [&] { return controls_changed(s, m, disp); });
      continue;
    }

    Packet p;
    size_t length = 0;
    int reference = -1;
    {
      std::lock_guard<std::mutex> g(s.global);
      reference = s.interval.reference_channel;
      if (m == kPlay) {
        if (s.position < s.size && s.reader.locate(s.position, &p)) {
          length = s.reader.read(p, work, p.length);
          s.position = p.position + static_cast<int64_t>(p.length);
          follow_entry(s, p.position);
        } else {
          s.position = s.size;  // nothing more forward
        }
      } else if (!at_edge) {
        const int e = next_match(s, s.entry, dir, disp, !shown);
        if (e < 0) {
          at_edge = true;
        } else {
          s.entry = e;
          shown = true;
          if (s.reader.locate(static_cast<int64_t>(s.index[static_cast<size_t>(e)].position), &p)) {
            length = s.reader.read(p, work, p.length);
            s.position = p.position + static_cast<int64_t>(p.length);
          }
        }
      }
    }
    if (length == 0) {
      // At an end: nothing more comes until a control moves the player.
      s.changed.wait_for(kIdleCheckMs, [&] { return controls_changed(s, m, disp); });
      continue;
    }
    if (p.has_time) s.current_time.store(p.time);

    const bool shown_channel = disp >= 0 && disp < kChannels;
    if (p.kind == kVideoPacket) {
      if ((shown_channel && p.channel == disp) || p.channel == reference) {
        const bool picture = decode::is_set_up() && show_picture(s, work, length);
        record_played(s, p, picture);
        const int paced = shown_channel ? disp : reference;
        if (p.channel == paced && p.has_time) pace(s, clocks[p.channel], p.time, pace_factor(m), m, disp);
      }
    } else if (m == kPlay && disp >= 0 && disp <= 3 && p.channel == disp && live::audio_play_mode() == 3) {
      play_audio(s, work, length, &audio_slot, m, disp);
    }
  }
  s.mode.store(kOpening);
  s.thread_running.store(false);
  notify_player(s);
}

// ---- exported operations ----

int32_t init() {
  Player& s = player();
  if (s.initialised.load()) return 0;
  s.displayed.store(-1);
  s.initialised.store(true);
  return 0;
}

int32_t file_close() {
  Player& s = player();
  if (!s.open) return 0;
  s.mode.store(kClose);
  notify_player(s);
  // Every wait of the thread ends on a mode change, so it ends promptly.
  if (s.thread.joinable()) s.thread.join();
  // Blocks still waiting for the wave output are taken back.
  for (auto& q : live::download_source().queued) {
    int waiting = 1;
    q.compare_exchange_strong(waiting, 0);
  }
  std::lock_guard<std::mutex> g(s.global);
  s.reader.close();
  s.build_reader.close();
  s.open = false;
  s.index.clear();
  s.index_complete = false;
  s.size = 0;
  return 0;
}

void deinit() {
  Player& s = player();
  file_close();
  s.initialised.store(false);
}

int32_t file_open(const char* path, const char* bmp_folder, const char* index_folder, int32_t steps) {
  Player& s = player();
  if (!s.initialised.load() || s.open) return 0;
  const char* shown_path = path ? path : "";
  // A folder too long for the player's path field is refused rather than
  // cut into another folder's name.
  if (!path || (bmp_folder && std::strlen(bmp_folder) > kBmpFolderChars)) {
    vp::message_box("error: file open error ", shown_path);
    return 0;
  }
  {
    std::lock_guard<std::mutex> g(s.global);
    if (!s.reader.open(path)) {
      vp::message_box("error: file open error ", shown_path);
      return 0;
    }
  }
  s.mode.store(kOpening);
  {
    std::lock_guard<std::mutex> g(s.global);
    s.path = path;
    s.size = s.reader.size();
    uint8_t head[kPackHeaderBytes];
    uint32_t scr = 0;
    if (s.reader.read_at(0, head, sizeof head) == sizeof head && read_pack_header(head, sizeof head, &scr))
      s.base_time.store(static_cast<int32_t>(scr));
    Packet first;
    if (s.reader.locate(0, &first)) {
      s.data_start = first.position;
      s.first_time = first.has_time ? first.time : 0;
    } else {
      s.data_start = s.size;
      s.first_time = 0;
    }
    s.current_time.store(s.first_time);
    s.open = true;
  }
  load_or_build_index(s, index_folder, steps);
  {
    std::lock_guard<std::mutex> g(s.global);
    find_last_intra(s);
    s.position = s.data_start;
    s.entry = 0;
    s.direction = Direction::kForward;
    s.resync.store(false);
    s.bmp_folder = bmp_folder ? bmp_folder : ".";
  }
  for (ChannelPicture& pic : s.pictures) pic.fresh.store(0);
  {
    std::lock_guard<std::mutex> g(s.trace_lock);
    s.trace.clear();
  }
  s.thread_running.store(true);
  s.thread = std::thread(player_thread);
  s.changed.wait_for(kStartWaitMs, [&] { return s.mode.load() != kOpening; });
  return clamp_int32(s.size);
}

int32_t file_lock(int32_t channel) {
  Player& s = player();
  if (!s.initialised.load() || channel < 0 || channel >= kChannels) return 0;
  std::string folder;
  {
    std::lock_guard<std::mutex> g(s.global);
    folder = s.bmp_folder;
  }
  ChannelPicture& pic = s.pictures[channel];
  std::lock_guard<std::mutex> g(pic.lock);
  if (!pic.fresh.load()) return 0;
  const int w = pic.width, h = pic.height;
  vp::debug_printf("width=%d height=%d\n", w, h);
  if (w <= 0 || h <= 8) return 0;
  const size_t row = static_cast<size_t>(w) * 3;
  if (pic.rgb.size() != row * static_cast<size_t>(h)) return 0;
  char path[512];
  std::snprintf(path, sizeof path, "%s/%d.bmp", folder.c_str(), channel);
  // The picture replaces the channel's previous one whole: a reader never
  // sees half a picture, and a symlink planted at the name is replaced,
  // never written through.
  ReplacingFile f(path);
  if (!f.ok()) return 0;
  // The file leaves out the picture's eight bottom rows.
  vp::bmp::write_picture(f, pic.rgb.data() + row * 8, w, h - 8, row);
  return f.commit() ? 1 : 0;
}

int32_t get_play_pos(int32_t scale) {
  Player& s = player();
  if (!s.initialised.load()) return -1;
  std::lock_guard<std::mutex> g(s.global);
  if (!s.open || s.size <= 0 || s.data_start >= s.size) return -1;
  if (scale == 0) return s.entry;
  if (scale < 0) return -1;
  const bool last = !s.index.empty() && s.entry == static_cast<int>(s.index.size()) - 1;
  return scaled(s, s.position, scale, last);
}

int32_t set_play_pos(int32_t scale, int32_t value) {
  Player& s = player();
  if (!s.initialised.load()) return -1;
  NotifyAtExit wake{s};
  std::lock_guard<std::mutex> g(s.global);
  if (!s.open || s.size <= 0 || s.data_start >= s.size || scale < 0) return -1;
  int64_t pos;
  if (scale == 0) {
    if (s.index.empty()) return -1;
    const int e = std::clamp<int>(value, 0, static_cast<int>(s.index.size()) - 1);
    pos = static_cast<int64_t>(s.index[static_cast<size_t>(e)].position);
  } else if (value >= scale) {
    pos = s.size;
  } else if (value <= 0) {
    pos = s.data_start;
  } else {
    const int64_t unit = s.size / scale;
    pos = unit > 0 ? unit * value : s.size * value / scale;
  }
  // The player goes on from the next packet.
  Packet p;
  int32_t channel = -1;
  if (pos < s.size && s.reader.locate(pos, &p)) {
    s.position = p.position;
    channel = p.channel;
    if (p.has_time) s.current_time.store(p.time);
  } else {
    s.position = s.size;
  }
  entry_for_position(s, s.direction);
  s.resync.store(true);
  return channel;
}

int32_t search(uint32_t rec_seconds, int32_t scale) {
  Player& s = player();
  if (!s.initialised.load()) return 0;
  NotifyAtExit wake{s};
  const int64_t t = rec_seconds_to_unix(rec_seconds);
  const int64_t base = s.base_time.load();
  std::lock_guard<std::mutex> g(s.global);
  if (!s.open) return 0;
  const uint32_t span_ticks = s.last_time - s.first_time;
  const int64_t duration_s = span_ticks / kTicksPerSecond;
  int64_t pos;
  if (t < base) {
    pos = s.data_start;
  } else if (t > base + duration_s) {
    pos = s.last_intra_position;
  } else {
    const uint32_t target = static_cast<uint32_t>(t - base) * kTicksPerSecond + s.first_time;
    int64_t guess = duration_s > 0 ? s.data_start + (t - base) * (s.size - s.data_start) / duration_s : s.data_start;
    guess = std::clamp<int64_t>(guess, s.data_start, std::max<int64_t>(s.data_start, s.size - 1));
    Packet p;
    if (!s.reader.locate(guess, &p) && !s.reader.locate(s.data_start, &p)) {
      pos = s.data_start;
    } else {
      // Walk packet by packet towards the target time until it is reached
      // or crossed: forward by the packet size, backward by the back
      // distance.
      const int first_dir = static_cast<int32_t>(p.time - target) < 0 ? 1 : -1;
      for (int n = 0; n < kSearchWalkPackets; ++n) {
        const int32_t diff = static_cast<int32_t>(p.time - target);
        if (diff == 0 || (first_dir > 0 && diff > 0) || (first_dir < 0 && diff < 0)) break;
        Packet q;
        if (first_dir > 0) {
          if (!s.reader.locate(p.position + static_cast<int64_t>(p.length), &q)) break;
        } else {
          if (p.back_distance == 0 || p.back_distance >= kBackDistanceLimit ||
              static_cast<int64_t>(p.back_distance) > p.position - s.data_start)
            break;
          if (!s.reader.locate(p.position - static_cast<int64_t>(p.back_distance), &q) || q.position >= p.position)
            break;
        }
        p = q;
      }
      pos = p.position;
      if (p.has_time) s.current_time.store(p.time);
    }
  }
  s.position = pos;
  entry_for_position(s, s.direction);
  s.resync.store(true);
  if (scale > 0) {
    if (t < base) return 0;
    if (t > base + duration_s) return scale;
    return scaled(s, pos, scale, false);
  }
  return clamp_int32(pos);
}

int32_t get_enable_ch(int32_t* video_mask, int32_t* audio_mask, const char* folder, int32_t steps) {
  Player& s = player();
  if (!s.initialised.load() || !s.open) {
    if (video_mask) *video_mask = 0;
    if (audio_mask) *audio_mask = 0;
    return 0;
  }
  bool present;
  {
    std::lock_guard<std::mutex> g(s.global);
    present = s.index_complete;
  }
  if (!present) {
    vp::message_box("frame index is none.", std::string(50, ' ').c_str());
    build_step(s, folder, 0);
  }
  std::lock_guard<std::mutex> g(s.global);
  if (video_mask) *video_mask = s.video_mask;
  if (audio_mask) *audio_mask = s.audio_mask;
  return present ? s.audio_mask : s.video_mask;
}

int32_t frame_index(const char* folder, int32_t steps) {
  Player& s = player();
  if (!s.initialised.load() || !s.open) return 0;
  bool complete;
  {
    std::lock_guard<std::mutex> g(s.global);
    complete = s.index_complete;
  }
  if (steps <= 0) return complete ? 1 : 0;
  if (complete) return steps;
  return build_step(s, folder, steps);
}

int32_t calc_time(uint8_t* record) {
  Player& s = player();
  if (!record) return -1;
  uint32_t first;
  {
    std::lock_guard<std::mutex> g(s.global);
    first = s.first_time;
  }
  const uint32_t elapsed = ((s.current_time.load() - first) & 0x7FFFFFFFu) / kTicksPerSecond;
  const std::time_t t = static_cast<std::time_t>(s.base_time.load()) + elapsed;
  std::tm tm{};
  localtime_r(&t, &tm);
  record[8] = static_cast<uint8_t>(tm.tm_year + 1900 - 2000);
  record[9] = static_cast<uint8_t>(tm.tm_mon + 1);
  record[10] = static_cast<uint8_t>(tm.tm_mday);
  record[11] = static_cast<uint8_t>(tm.tm_hour);
  record[12] = static_cast<uint8_t>(tm.tm_min);
  record[13] = static_cast<uint8_t>(tm.tm_sec);
  return 0;
}

}  // namespace

namespace testing {

std::vector<Played> played() {
  Player& s = player();
  std::lock_guard<std::mutex> g(s.trace_lock);
  return {s.trace.begin(), s.trace.end()};
}

void clear_played() {
  Player& s = player();
  std::lock_guard<std::mutex> g(s.trace_lock);
  s.trace.clear();
}

std::vector<IndexEntry> index_entries() {
  Player& s = player();
  std::lock_guard<std::mutex> g(s.global);
  return s.index;
}

bool index_complete() {
  Player& s = player();
  std::lock_guard<std::mutex> g(s.global);
  return s.index_complete;
}

IntervalClass key_interval() {
  Player& s = player();
  std::lock_guard<std::mutex> g(s.global);
  return s.interval;
}

int64_t data_start() {
  Player& s = player();
  std::lock_guard<std::mutex> g(s.global);
  return s.data_start;
}

uint32_t first_time() {
  Player& s = player();
  std::lock_guard<std::mutex> g(s.global);
  return s.first_time;
}

uint32_t last_time() {
  Player& s = player();
  std::lock_guard<std::mutex> g(s.global);
  return s.last_time;
}

int32_t base_time() { return player().base_time.load(); }

}  // namespace testing
}  // namespace brin::dl

using brin::guarded;
namespace dlp = brin::dl;

extern "C" {

int32_t Mpeg4DLdata_init(void) {
  return guarded(1, [] { return dlp::init(); });
}

void Mpeg4DLdata_deinit(void) {
  guarded(0, [] {
    dlp::deinit();
    return 0;
  });
}

int32_t Mpeg4DLdata_fileopen(const char* path, const char* bmp_folder, const char* index_folder, int32_t steps) {
  return guarded(0, [&] { return dlp::file_open(path, bmp_folder, index_folder, steps); });
}

int32_t Mpeg4DLdata_fileclose(void) {
  return guarded(0, [] { return dlp::file_close(); });
}

int32_t Mpeg4DLdata_filelock(int32_t channel) {
  return guarded(0, [&] { return dlp::file_lock(channel); });
}

int32_t Mpeg4DLdata_fileunlock(int32_t channel) {
  return guarded(0, [&] {
    if (channel < 0 || channel >= 16) return 0;
    return dlp::player().pictures[channel].fresh.exchange(0);
  });
}

int32_t Mpeg4DLdata_set_disptype(int32_t channel) {
  return guarded(channel, [&] {
    dlp::player().displayed.store(channel);
    dlp::notify_player(dlp::player());
    return channel;
  });
}

int32_t Mpeg4DLdata_set_m_nPlayMode(int32_t mode) {
  return guarded(mode, [&] {
    auto& s = dlp::player();
    {
      std::lock_guard<std::mutex> g(s.global);
      s.mode.store(mode);
    }
    dlp::notify_player(s);
    return mode;
  });
}

int32_t Mpeg4DLdata_get_m_nPlayMode(void) {
  return guarded(-1, [] { return static_cast<int32_t>(dlp::player().mode.load()); });
}

int32_t Mpeg4DLdata_get_PlayPos(int32_t scale) {
  return guarded(-1, [&] { return dlp::get_play_pos(scale); });
}

int32_t Mpeg4DLdata_set_PlayPos(int32_t scale, int32_t value) {
  return guarded(-1, [&] { return dlp::set_play_pos(scale, value); });
}

int32_t Mpeg4DLdata_search(int32_t rec_seconds, int32_t scale) {
  return guarded(0, [&] { return dlp::search(static_cast<uint32_t>(rec_seconds), scale); });
}

int32_t Mpeg4DLdata_get_enable_ch(int32_t* video_mask, int32_t* audio_mask, const char* index_folder, int32_t steps) {
  return guarded(0, [&] { return dlp::get_enable_ch(video_mask, audio_mask, index_folder, steps); });
}

int32_t Mpeg4DLdata_frame_index(const char* index_folder, int32_t steps) {
  return guarded(0, [&] { return dlp::frame_index(index_folder, steps); });
}

int32_t make_base_tm(int32_t rec_seconds) {
  return guarded(0, [&] {
    const int32_t t = dlp::clamp_int32(dlp::rec_seconds_to_unix(static_cast<uint32_t>(rec_seconds)));
    dlp::player().base_time.store(t);
    return t;
  });
}

int32_t calc_time(int32_t, uint8_t* record) {
  return guarded(-1, [&] { return dlp::calc_time(record); });
}

}  // extern "C"
