// Runs a fuzz target's entry point in the normal (and sanitizer) test builds:
// over every seed of its corpus, so the seeds stay valid inputs that reach
// the code behind the parser, and over each beginning of a short input that
// says little or nothing.
#pragma once
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "testing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace velmora::testing {

// Feeds the entry point every file of the corpus folder and then every
// prefix of tiny (the empty one and the whole included). Expects at least
// min_seeds files in the corpus.
inline void replay_corpus(const std::filesystem::path& corpus, int min_seeds, const uint8_t* tiny, size_t tiny_size) {
  ASSERT_TRUE(std::filesystem::is_directory(corpus)) << corpus;
  int seeds = 0;
  for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
    const std::string bytes = read_file(entry.path().string());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    ++seeds;
  }
  EXPECT_GE(seeds, min_seeds);
  for (size_t n = 0; n <= tiny_size; ++n) LLVMFuzzerTestOneInput(tiny, n);
}

}  // namespace velmora::testing
