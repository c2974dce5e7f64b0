// Runs the disk fuzz target over its seed corpus in the normal (and
// sanitizer) test builds, so the seeds stay valid inputs that exercise the
// readers without breaking their interfaces.
#include <gtest/gtest.h>

#include <filesystem>

#include "testing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

TEST(FuzzReplay, SeedCorpusRunsClean) {
  const std::filesystem::path corpus = DISK_CORPUS_DIR;
  ASSERT_TRUE(std::filesystem::is_directory(corpus)) << corpus;
  int seeds = 0;
  for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
    const std::string bytes = velmora::testing::read_file(entry.path().string());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    ++seeds;
  }
  EXPECT_GE(seeds, 4);
  // Inputs that say little or nothing.
  const uint8_t tiny[] = {1, 2, 3, 4, 0, 0, 0, 0, 8, 0, 0xFF, 0xFF};
  for (size_t n = 0; n <= sizeof tiny; ++n) LLVMFuzzerTestOneInput(tiny, n);
}

}  // namespace
