// Downloaded data files and frame indexes from arbitrary bytes: the
// program-stream packet scan with its probes and audio decode, the index
// build and the index reader, the player's opening and positioning on such a
// file and index, the splitter, and a remote-copy part stored from a chunk.
//
// Input: a flags byte (bit 0 also runs the splitter and the chunk store),
// two bytes (little-endian) giving the length of the data file part, the
// data file bytes, then the index file bytes.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "brinlib.h"
#include "brinlib_internal.h"

namespace {

namespace dl = brin::dl;

std::string g_dir;

void write_file(const std::string& path, const uint8_t* data, size_t size) {
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    if (size) std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
}

void clear_folder(const std::string& dir) {
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") std::remove((dir + "/" + name).c_str());
    }
    closedir(d);
  }
}

// The scan and index build straight over the bytes, as a memory file.
void scan(const uint8_t* data, size_t size) {
  if (size == 0) return;
  FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "rb");
  // One reader for all inputs, so that its block buffer is allocated once.
  static dl::DataReader reader;
  if (!reader.attach(f)) return;
  // Buffers kept for all inputs: a fresh megabyte per input cost more than
  // the scan of a short file.
  static std::vector<uint8_t> packet(dl::kMaxPacketBytes);
  static std::vector<uint8_t> pcm(dl::kAudioPcmBytes);
  dl::Packet p;
  int64_t pos = 0;
  for (int n = 0; n < 10000 && reader.locate(pos, &p); ++n) {
    const size_t got = reader.read(p, packet.data(), p.length);
    if (p.kind == dl::kVideoPacket)
      dl::probe_video(packet.data(), got);
    else
      dl::decode_audio_packet(packet.data(), got, pcm.data());
    pos = p.position + static_cast<int64_t>(p.length);
  }
  std::vector<dl::IndexEntry> entries;
  dl::IndexBuild build;
  dl::build_index_step(reader, 0, 0, &build, [&](const dl::IndexEntry& e) { entries.push_back(e); });
  dl::interval_class(entries);
  int v = 0, a = 0;
  dl::index_masks(entries, &v, &a);
  reader.close();
}

}  // namespace

// The library's message boxes (an index that is missing, a file that cannot
// be opened) are not wanted on the console for every input.
extern "C" __attribute__((visibility("default"))) void velmora_message_box(const char*, const char*) {}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = [] {
    setenv("VELMORA_AUDIO", "none", 1);
    // In memory where the machine has it: every input writes the data file,
    // its index and the split's pictures.
    char shm[] = "/dev/shm/fuzz_dlfile_XXXXXX";
    char tmp[] = "/tmp/fuzz_dlfile_XXXXXX";
    if (const char* d = mkdtemp(shm))
      g_dir = d;
    else if (const char* t = mkdtemp(tmp))
      g_dir = t;
    std::atexit([] {
      clear_folder(g_dir + "/split");
      rmdir((g_dir + "/split").c_str());
      clear_folder(g_dir);
      rmdir(g_dir.c_str());
    });
    decode_init();
    return true;
  }();
  (void)ready;
  if (size < 3 || g_dir.empty()) return 0;
  const uint8_t flags = data[0];
  const size_t file_bytes = std::min<size_t>(data[1] | data[2] << 8, size - 3);
  const uint8_t* file = data + 3;
  const uint8_t* index = file + file_bytes;
  const size_t index_bytes = size - 3 - file_bytes;

  scan(file, file_bytes);
  const std::vector<dl::IndexEntry> entries = dl::parse_index(index, index_bytes, static_cast<int64_t>(file_bytes));
  dl::interval_class(entries);

  const std::string path = g_dir + "/data.dat";
  write_file(path, file, file_bytes);
  if (index_bytes > 0)
    write_file(g_dir + "/.index", index, index_bytes);
  else
    std::remove((g_dir + "/.index").c_str());
  if (Mpeg4DLdata_fileopen(path.c_str(), g_dir.c_str(), g_dir.c_str(), 4) > 0) {
    Mpeg4DLdata_get_PlayPos(100);
    Mpeg4DLdata_set_PlayPos(0, static_cast<int32_t>(index_bytes % 7));
    Mpeg4DLdata_set_PlayPos(100, 50);
    Mpeg4DLdata_search(make_base_tm(0) ? 1 : 0, 100);
    Mpeg4DLdata_search(0x7FFFFFFF, 0);
    int32_t v = 0, a = 0;
    Mpeg4DLdata_frame_index(g_dir.c_str(), 4);
    Mpeg4DLdata_get_enable_ch(&v, &a, g_dir.c_str(), 4);
    uint8_t record[16];
    calc_time(0, record);
    Mpeg4DLdata_fileclose();
  }

  if (flags & 1) {
    const std::string out = g_dir + "/split";
    mkdir(out.c_str(), 0700);
    Mpeg4Play(path.c_str(), out.c_str(), 0);
    clear_folder(out);
    // The file's bytes as a video chunk and the index bytes as an audio
    // chunk of a remote copy.
    std::vector<uint8_t> video(file, file + file_bytes), audio(index, index + index_bytes);
    const std::string copy = g_dir + "/copy.dat";
    std::remove(copy.c_str());
    brin::testing::store_part(copy.c_str(), video.data(), video.size(), audio.data(), audio.size());
  }
  return 0;
}
