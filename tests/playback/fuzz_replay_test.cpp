// Runs the copy-file fuzz target over its seed corpus in the normal (and
// sanitizer) test builds, so the seeds stay valid inputs that exercise the
// reader and the file worker.
#include "fuzz_replay.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

TEST(CopyFileFuzzReplay, SeedCorpusRunsClean) {
  setenv("VELMORA_AUDIO", "none", 1);
  const uint8_t tiny[] = {1, 2, 3, 4, 24, 0, 0, 0, 0, 0, 0, 0, 0, 0, 24, 5, 1, 1, 0, 0, 0};
  velmora::testing::replay_corpus(COPYFILE_CORPUS_DIR, 3, tiny, sizeof tiny);
}

}  // namespace
