// Damaged disks: random sectors overwritten, management copies cut short or
// missing. No reader, list, search or skip may crash, hang or give a result
// outside its interface.
#include <gtest/gtest.h>

#include "disk_exercise.h"
#include "disk_fixture.h"

namespace disktest {
namespace {

using namespace brin::disk;

zebdisk::DiskSpec busy_disk() {
  zebdisk::DiskSpec s = small_spec();
  s.start_block = 249;
  s.start_record = 24990;
  s.first_list_index = 995;
  s.first_alarm_index = 47;
  s.gops_per_record = 2;
  s.runs.push_back(run(T(2024, 5, 1, 10, 0, 0), T(2024, 5, 1, 10, 0, 15), 98));
  s.runs.push_back(run(T(2024, 5, 1, 10, 5, 0), T(2024, 5, 1, 10, 5, 15), 99));
  s.runs.push_back(run(T(2024, 5, 1, 9, 0, 0), T(2024, 5, 1, 9, 0, 21), 0));
  s.runs.back().continuation = true;
  s.runs.push_back(run(T(2024, 5, 1, 9, 30, 0), T(2024, 5, 1, 9, 30, 9), 0));
  s.alarms.push_back({T(2024, 5, 1, 10, 0, 3), T(2024, 5, 1, 10, 0, 6)});
  s.alarms.push_back({T(2024, 5, 1, 9, 0, 1), T(2024, 5, 1, 9, 0, 2)});
  s.alarms.push_back({T(2024, 5, 1, 9, 30, 1), T(2024, 5, 1, 9, 30, 2)});
  return s;
}

using DamageTest = DiskTest;

TEST_F(DamageTest, HealthyDiskPassesTheExercise) {
  attach(busy_disk());
  EXPECT_EQ(diskexercise::exercise_disk(12345), "");
  // And it really played: every GOP, over the wrapped block ring.
  first_section_play();
  expect_same(read_all(read_data), expected_gops(manifest_));
}

class RandomDamage : public DiskTest, public ::testing::WithParamInterface<int> {};

TEST_P(RandomDamage, RandomSectorsOverwritten) {
  zebdisk::DiskSpec s = busy_disk();
  zebdisk::DamageSpec d;
  d.kind = zebdisk::DamageSpec::kRandom;
  d.seed = static_cast<uint32_t>(GetParam());
  d.count = 6 + GetParam() % 40;
  s.damage.push_back(d);
  attach(s);
  EXPECT_EQ(diskexercise::exercise_disk(static_cast<uint32_t>(GetParam()) * 7919u), "");
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomDamage, ::testing::Range(1, 25));

class CutShort : public DiskTest, public ::testing::WithParamInterface<uint64_t> {};

TEST_P(CutShort, ImageEndsInsideTheManagementRegion) {
  zebdisk::DiskSpec s = busy_disk();
  s.truncate_sectors = GetParam();
  attach(s);
  EXPECT_EQ(diskexercise::exercise_disk(99), "");
}

// Inside copy 0's tables, its index blocks, copy 1, copy 2, and the data.
INSTANTIATE_TEST_SUITE_P(Sectors, CutShort,
                         ::testing::Values(1, 5, 30, 83 + 977 * 249 + 100, 244333 + 50, 2 * 244333 + 20, 733100));

TEST_F(DamageTest, MissingCopiesAreReplacedByTheOthers) {
  zebdisk::DiskSpec s = busy_disk();
  s.omit_copy[0] = true;
  s.omit_copy[2] = true;
  s.generations[1] = 4;
  attach(s);
  expect_same(read_all(read_data), expected_gops(manifest_));
  EXPECT_EQ(diskexercise::exercise_disk(5), "");
}

TEST_F(DamageTest, NotARecorderDisk) {
  // A plain file of random bytes.
  const std::string p = dir_.file("random.img");
  std::string bytes(1 << 20, '\0');
  uint32_t x = 2463534242u;
  for (char& c : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  ASSERT_TRUE(velmora::testing::write_file(p, bytes));
  setenv("VELMORA_DRIVE0", p.c_str(), 1);
  ASSERT_EQ(hdd_open(0), 0);
  EXPECT_EQ(diskexercise::exercise_disk(1), "");
  uint32_t values[128];
  ASSERT_EQ(hdd_read_hdsw(values), 0);
  EXPECT_NE(values[0], 0x015C0000u);
  EXPECT_EQ(hdd_get(0), 0);  // less than a cylinder
}

}  // namespace
}  // namespace disktest
