// Runs the disk fuzz target over its seed corpus in the normal (and
// sanitizer) test builds, so the seeds stay valid inputs that exercise the
// readers without breaking their interfaces.
#include "fuzz_replay.h"

#include <gtest/gtest.h>

namespace {

TEST(FuzzReplay, SeedCorpusRunsClean) {
  const uint8_t tiny[] = {1, 2, 3, 4, 0, 0, 0, 0, 8, 0, 0xFF, 0xFF};
  velmora::testing::replay_corpus(DISK_CORPUS_DIR, 4, tiny, sizeof tiny);
}

}  // namespace
