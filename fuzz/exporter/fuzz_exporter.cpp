// Fuzz target: arbitrary bytes as the GOPs of a source, exported as a video
// file with its custody record.
//
// Input: a knob byte (bit 0: MP4 instead of Matroska; bit 1: the source
// marks every third GOP damaged; bit 2: every camera in one file; bit 3:
// the rest is a downloaded data file instead of GOPs), then GOPs, each a little-endian u16 length
// and that many bytes (the last one takes what is left).
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "exporter/exporter.h"

namespace {

const std::string& folder() {
  static const std::string dir = [] {
    char shm[] = "/dev/shm/fuzz_exporter.XXXXXX";
    char tmp[] = "/tmp/fuzz_exporter.XXXXXX";
    const char* made = mkdtemp(shm);
    if (!made) made = mkdtemp(tmp);
    if (!made) std::abort();
    return std::string(made);
  }();
  return dir;
}

class MemorySource : public exporter::GopSource {
 public:
  MemorySource(std::vector<std::vector<uint8_t>> gops, bool damage) : gops_(std::move(gops)), damage_(damage) {}
  int next(exporter::SourceGop* gop) override {
    if (at_ >= gops_.size()) return 0;
    gop->time = vp::RecTime{24, 5, 1, 10, 0, static_cast<uint8_t>(at_ % 60)};
    gop->frames = gops_[at_];
    gop->damaged = damage_ && at_ % 3 == 2;
    ++at_;
    return 1;
  }
  std::string description() const override { return "fuzz input"; }
  std::vector<exporter::Span> runs() const override { return {{0, 10, "run"}, {5, 3, "backwards"}}; }

 private:
  std::vector<std::vector<uint8_t>> gops_;
  bool damage_;
  size_t at_ = 0;
};

}  // namespace

// Exports the rest of the input read as a downloaded data file.
exporter::Result export_downloaded(const uint8_t* data, size_t size, exporter::Options options) {
  const std::string path = folder() + "/input.dat";
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::abort();
  if (size && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);
  std::string error;
  auto source = exporter::open_downloaded_file(path, 2026, 12, 7, &error);
  if (!source) {
    if (error.empty()) std::abort();  // a refusal always says why
    return exporter::Result{};
  }
  return exporter::export_video(*source, options);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t knob = data[0];
  std::vector<std::vector<uint8_t>> gops;
  size_t at = 1;
  while (at < size && gops.size() < 64) {
    size_t n = size - at;
    if (n >= 2) {
      const size_t announced = data[at] | (data[at + 1] << 8);
      at += 2;
      n = std::min(announced, size - at);
    }
    gops.emplace_back(data + at, data + at + n);
    at += n;
  }
  MemorySource source(std::move(gops), (knob & 2) != 0);
  exporter::Options options;
  options.format = (knob & 1) ? exporter::Format::kMp4 : exporter::Format::kMatroska;
  options.folder = folder();
  options.one_file = (knob & 4) != 0;
  const exporter::Result r =
      (knob & 8) ? export_downloaded(data + 1, size - 1, options) : exporter::export_video(source, options);
  // A finished export leaves its files; a failed one leaves none half-written.
  for (const auto& f : r.files) {
    if (r.ok && !std::filesystem::exists(f.path)) std::abort();
  }
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder(), ec)) {
    if (!r.ok && entry.path().extension() == ".part") std::abort();
    std::filesystem::remove(entry.path(), ec);
  }
  return 0;
}
