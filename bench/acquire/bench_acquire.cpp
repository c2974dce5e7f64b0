// Acquisition of a disk (here an image file of 512 MiB of varied bytes,
// read through the page cache like a fast device) into an image with its
// hash and record, against the usual tools doing the same: dd bs=4M
// writing the copy and sha256sum hashing it, both measured in this run.
// The ratio is the tools' time over the acquisition's: 1.0 means as fast.
// Also shown: dd piped through tee into sha256sum, which hashes while it
// copies.
//
// usage: bench_acquire [WORK_FOLDER]   (default: $TMPDIR, else /tmp)
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "exporter/acquire.h"

namespace {

using bench::Clock;
using bench::seconds_since;

constexpr int kRounds = 3;
constexpr size_t kImageBytes = 512u << 20;

double timed_shell(const std::string& command) { return bench::timed_shell("bench_acquire", command); }

}  // namespace

int main(int argc, char** argv) {
  const std::string work = bench::make_work_folder(argc, argv, "bench_acquire");
  const std::string source = work + "/disk.raw";
  {
    std::vector<char> piece(1 << 20);
    uint32_t x = 1;
    std::ofstream out(source, std::ios::binary);
    for (size_t done = 0; done < kImageBytes; done += piece.size()) {
      for (char& c : piece) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
      }
      out.write(piece.data(), static_cast<std::streamsize>(piece.size()));
    }
  }
  const std::string copy = work + "/copy.img";
  timed_shell("cat '" + source + "' > /dev/null");  // into the page cache

  double best_ours = 1e9, best_dd = 1e9, best_pipe = 1e9;
  for (int round = 0; round < kRounds; ++round) {
    const std::string image = work + "/ours" + std::to_string(round) + ".img";
    exporter::AcquireOptions options;
    options.device = source;
    options.output = image;
    const auto t0 = Clock::now();
    const exporter::AcquireResult r = exporter::acquire_image(options);
    best_ours = std::min(best_ours, seconds_since(t0));
    if (!r.ok) {
      std::fprintf(stderr, "bench_acquire: %s\n", r.error.c_str());
      return 1;
    }
    std::filesystem::remove(image);

    best_dd = std::min(best_dd, timed_shell("dd if='" + source + "' of='" + copy +
                                            "' bs=4M status=none && sha256sum '" + copy + "' > /dev/null"));
    std::filesystem::remove(copy);
    best_pipe = std::min(best_pipe, timed_shell("dd if='" + source + "' bs=4M status=none | tee '" + copy +
                                                "' | sha256sum > /dev/null"));
    std::filesystem::remove(copy);
  }
  std::filesystem::remove_all(work);

  const double mb = static_cast<double>(kImageBytes) / 1e6;
  std::printf("image: %.0f MB\n", mb);
  std::printf("velmora-disk image (copy, SHA-256, record): %.3f s (%.0f MB/s)\n", best_ours, mb / best_ours);
  std::printf("dd bs=4M, then sha256sum:                    %.3f s (%.0f MB/s)\n", best_dd, mb / best_dd);
  std::printf("dd bs=4M | tee | sha256sum:                  %.3f s (%.0f MB/s)\n", best_pipe, mb / best_pipe);
  std::printf("ratio (dd + sha256sum time / ours):          %.2f\n", best_dd / best_ours);
  std::printf("ratio (dd | tee | sha256sum time / ours):    %.2f\n", best_pipe / best_ours);
  return 0;
}
