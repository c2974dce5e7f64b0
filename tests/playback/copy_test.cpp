// The disk-to-PC copy: the three files against the frames the image writer
// put on the disk, the status values, and what a failed copy leaves.
#include <signal.h>
#include <sys/resource.h>

#include <condition_variable>
#include <filesystem>

#include "playback_fixture.h"

namespace pbtest {
namespace {

using brin::copyfile::Record;
using CopyTest = PlaybackTest;

std::vector<Record> index_records(const std::string& path) {
  const std::vector<uint8_t> raw = file_bytes(path);
  std::vector<Record> out;
  for (size_t at = 0; at + brin::copyfile::kRecordBytes <= raw.size(); at += brin::copyfile::kRecordBytes)
    out.push_back(brin::copyfile::parse_record(raw.data() + at));
  return out;
}

// The copy's files hold exactly these GOPs: the data their frames, the index
// one record per GOP, the list their first and last time.
void expect_copy_of(const std::string& folder, const std::vector<const zebdisk::GopInfo*>& gops) {
  EXPECT_TRUE(file_bytes(folder + "/ZEB.dat") == concat(gops));
  const std::vector<uint8_t> raw_index = file_bytes(folder + "/.index");
  ASSERT_EQ(raw_index.size(), gops.size() * 24);
  const std::vector<Record> records = index_records(folder + "/.index");
  uint64_t offset = 0;
  for (size_t i = 0; i < gops.size(); ++i) {
    EXPECT_EQ(records[i].offset, offset) << "record " << i;
    EXPECT_EQ(vp::compare_rec_time(records[i].time, gops[i]->time), 0) << "record " << i;
    EXPECT_EQ(records[i].info[0], gops[i]->byte2);
    EXPECT_EQ(records[i].info[1], gops[i]->byte0);
    EXPECT_EQ(records[i].info[2], gops[i]->byte27);
    for (size_t b = 17; b < 24; ++b) EXPECT_EQ(raw_index[i * 24 + b], 0);
    offset += gops[i]->frame_bytes.size();
  }
  const std::string list = velmora::testing::read_file(folder + "/List.ZEB");
  if (gops.empty()) {
    EXPECT_EQ(list, "0000/00/00 00:00:00 - 0000/00/00 00:00:00");
  } else {
    EXPECT_EQ(list, zebdisk::format_time(gops.front()->time) + " - " + zebdisk::format_time(gops.back()->time));
  }
}

TEST_F(CopyTest, ASpanIsCopiedByteForByte) {
  attach(two_runs());
  const RecTime start = T(2024, 5, 1, 10, 0, 2), end = T(2024, 5, 1, 10, 0, 10);
  const std::string folder = dir_.file("copy");
  ASSERT_EQ(copy(folder, start, end), 200);
  const auto gops = copied_gops(manifest_, start, end);
  ASSERT_EQ(gops.size(), 9u);
  expect_copy_of(folder, gops);
}

TEST_F(CopyTest, ASpanThatEndsInAGapTakesTheFirstGopAfterIt) {
  attach(two_runs());
  const RecTime start = T(2024, 5, 1, 10, 0, 11), end = T(2024, 5, 1, 10, 20, 0);
  const std::string folder = dir_.file("copy");
  ASSERT_EQ(copy(folder, start, end), 200);
  const auto gops = copied_gops(manifest_, start, end);
  ASSERT_EQ(gops.size(), 4u);
  EXPECT_EQ(zebdisk::format_time(gops.back()->time), "2024/05/01 10:30:00");
  expect_copy_of(folder, gops);
}

TEST_F(CopyTest, ACopyRunsToTheEndOfTheData) {
  attach(two_runs());
  const RecTime start = T(2024, 5, 1, 10, 30, 4), end = T(2024, 6, 1, 0, 0, 0);
  const std::string folder = dir_.file("copy");
  ASSERT_EQ(copy(folder, start, end), 200);
  expect_copy_of(folder, copied_gops(manifest_, start, end));
}

TEST_F(CopyTest, AStartAfterAllDataCopiesTheNewestGop) {
  attach(two_runs());
  const std::string folder = dir_.file("copy");
  ASSERT_EQ(copy(folder, T(2024, 7, 1, 0, 0, 0), T(2024, 7, 2, 0, 0, 0)), 200);
  const zebdisk::GopInfo* newest = &manifest_.records.back().gops.back();
  expect_copy_of(folder, {newest});
}

TEST_F(CopyTest, ADiskWithoutRecordingsGives101) {
  zebdisk::DiskSpec spec = two_runs();
  spec.runs.clear();
  attach(spec);
  const std::string folder = dir_.file("copy");
  ASSERT_EQ(copy(folder, T(2024, 5, 1, 10, 0, 0), T(2024, 5, 1, 11, 0, 0)), 101);
  expect_copy_of(folder, {});
}

TEST_F(CopyTest, StatusIs200BeforeAnyCopyAndRefusalsStartNothing) {
  int32_t status = -1;
  ASSERT_EQ(hdd_copy_usb_get_sts(&status), 0);
  EXPECT_EQ(status, 200);
  attach(two_runs());
  EXPECT_EQ(hdd_copy_usb("", S(T(2024, 5, 1, 10, 0, 0)), S(T(2024, 5, 1, 10, 0, 5))), -1);
  EXPECT_EQ(hdd_copy_usb(nullptr, 0, 1), -1);
  EXPECT_EQ(hdd_copy_usb(dir_.file("missing/folder").c_str(), 0, 1), -1);
  hdd_copy_usb_get_sts(&status);
  EXPECT_EQ(status, 200);
}

TEST_F(CopyTest, StopDuringACopyGives102AndASecondCopyIsRefusedMeanwhile) {
  attach(two_runs());
  std::mutex m;
  std::condition_variable cv;
  int written = 0;
  bool go_on = false;
  brin::copy::testing::set_gop_hook([&](int gops) {
    std::unique_lock<std::mutex> g(m);
    written = gops;
    cv.notify_all();
    if (gops == 3) cv.wait_for(g, 20s, [&] { return go_on; });
  });
  const std::string folder = dir_.file("copy");
  mkdir(folder.c_str(), 0755);
  const RecTime start = T(2024, 5, 1, 10, 0, 0), end = T(2024, 5, 1, 10, 0, 12);
  ASSERT_EQ(hdd_copy_usb(folder.c_str(), S(start), S(end)), 0);
  {
    std::unique_lock<std::mutex> g(m);
    ASSERT_TRUE(cv.wait_for(g, 20s, [&] { return written == 3; }));
  }
  int32_t status = -1;
  hdd_copy_usb_get_sts(&status);
  EXPECT_GE(status, 0);
  EXPECT_LT(status, 100);
  EXPECT_EQ(hdd_copy_usb(dir_.path().c_str(), S(start), S(end)), -1);
  EXPECT_EQ(hdd_copy_usb_stop(), 0);
  {
    std::lock_guard<std::mutex> g(m);
    go_on = true;
  }
  cv.notify_all();
  EXPECT_EQ(wait_copy(), 102);
  auto gops = copied_gops(manifest_, start, end);
  gops.resize(3);
  expect_copy_of(folder, gops);
}

TEST_F(CopyTest, ProgressRisesWithTheGopTimes) {
  attach(two_runs());
  std::vector<int32_t> seen;
  brin::copy::testing::set_gop_hook([&](int) {
    int32_t status = -1;
    hdd_copy_usb_get_sts(&status);
    seen.push_back(status);
  });
  ASSERT_EQ(copy(dir_.file("copy"), T(2024, 5, 1, 10, 0, 0), T(2024, 5, 1, 10, 0, 10)), 200);
  // Reported after each GOP: 0 until the first progress, then the share of
  // the span the GOP before reached.
  ASSERT_EQ(seen.size(), 11u);
  for (size_t i = 1; i < seen.size(); ++i) EXPECT_EQ(seen[i], static_cast<int32_t>((i - 1) * 10)) << i;
}

TEST_F(CopyTest, TooLittleSpaceGives103AndLeavesConsistentFiles) {
  attach(two_runs());
  const RecTime start = T(2024, 5, 1, 10, 0, 0), end = T(2024, 5, 1, 10, 0, 12);
  auto gops = copied_gops(manifest_, start, end);
  // Room above the 1 MiB that must stay free for the first k GOPs and not
  // for one more, counted in whole KB as the space is.
  size_t k = 0;
  uint64_t total = 0;
  int64_t free_kb = 0;
  for (size_t i = 0; i + 1 < gops.size(); ++i) {
    total += gops[i]->frame_bytes.size();
    if (i >= 2 && (total + gops[i + 1]->frame_bytes.size()) / 1024 > total / 1024) {
      k = i + 1;
      free_kb = 1024 + static_cast<int64_t>(total / 1024);
      break;
    }
  }
  ASSERT_GT(k, 0u);
  std::string asked;
  brin::copy::testing::set_free_space_query([&](const std::string& folder) {
    asked = folder;
    return free_kb;
  });
  const std::string folder = dir_.file("copy");
  ASSERT_EQ(copy(folder, start, end), 103);
  EXPECT_EQ(asked, folder);
  gops.resize(k);
  expect_copy_of(folder, gops);
}

TEST_F(CopyTest, AWriteErrorGives103AndCutsThePartialGop) {
  attach(two_runs());
  const RecTime start = T(2024, 5, 1, 10, 0, 0), end = T(2024, 5, 1, 10, 0, 12);
  auto gops = copied_gops(manifest_, start, end);
  const uint64_t two = gops[0]->frame_bytes.size() + gops[1]->frame_bytes.size();
  // No file may grow past two and a half GOPs: the third is written only in
  // part.
  signal(SIGXFSZ, SIG_IGN);
  struct rlimit before;
  getrlimit(RLIMIT_FSIZE, &before);
  struct rlimit limit = before;
  limit.rlim_cur = two + gops[2]->frame_bytes.size() / 2;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  const std::string folder = dir_.file("copy");
  const int32_t status = copy(folder, start, end);
  setrlimit(RLIMIT_FSIZE, &before);
  ASSERT_EQ(status, 103);
  gops.resize(2);
  expect_copy_of(folder, gops);
}

// A copy is evidence: a folder that holds one, or any of its three names,
// is refused and left exactly as it was.
TEST_F(CopyTest, AFolderHoldingACopyIsRefusedAndKeepsIt) {
  attach(two_runs());
  const std::string folder = dir_.file("copy");
  const RecTime start = T(2024, 5, 1, 10, 0, 5), end = T(2024, 5, 1, 10, 0, 7);
  ASSERT_EQ(copy(folder, start, end), 200);
  const std::vector<uint8_t> data = file_bytes(folder + "/ZEB.dat"), index = file_bytes(folder + "/.index");
  const std::string list = velmora::testing::read_file(folder + "/List.ZEB");
  EXPECT_EQ(hdd_copy_usb(folder.c_str(), S(T(2024, 5, 1, 10, 0, 0)), S(T(2024, 5, 1, 10, 30, 8))), -2);
  EXPECT_TRUE(file_bytes(folder + "/ZEB.dat") == data);
  EXPECT_TRUE(file_bytes(folder + "/.index") == index);
  EXPECT_EQ(velmora::testing::read_file(folder + "/List.ZEB"), list);
  expect_copy_of(folder, copied_gops(manifest_, start, end));

  // One of the names alone is enough, and the refusal leaves no new file.
  for (const char* name : {"ZEB.dat", ".index", "List.ZEB"}) {
    const std::string other = dir_.file(std::string("only_") + (name[0] == '.' ? name + 1 : name));
    ASSERT_EQ(mkdir(other.c_str(), 0755), 0);
    ASSERT_TRUE(velmora::testing::write_file(other + "/" + name, "earlier"));
    EXPECT_EQ(hdd_copy_usb(other.c_str(), S(start), S(end)), -2) << name;
    EXPECT_EQ(velmora::testing::read_file(other + "/" + name), "earlier") << name;
    size_t entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(other)) ++entries;
    EXPECT_EQ(entries, 1u) << name;
  }
  // A fresh folder beside it takes the next copy.
  EXPECT_EQ(copy(dir_.file("copy2"), start, end), 200);
}

// A symlink named like a copy's file, pointing at a file elsewhere or at a
// name that does not exist yet, is never followed: nothing is written
// through it.
TEST_F(CopyTest, APlantedSymlinkIsNotWrittenThrough) {
  attach(two_runs());
  const RecTime start = T(2024, 5, 1, 10, 0, 5), end = T(2024, 5, 1, 10, 0, 7);
  const std::string victim = dir_.file("victim.txt");
  ASSERT_TRUE(velmora::testing::write_file(victim, "keep me"));
  for (const char* name : {"ZEB.dat", ".index", "List.ZEB"}) {
    const std::string folder = dir_.file(std::string("planted_") + (name[0] == '.' ? name + 1 : name));
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    ASSERT_EQ(symlink(victim.c_str(), (folder + "/" + name).c_str()), 0);
    const std::string absent = dir_.file(std::string("absent_") + (name[0] == '.' ? name + 1 : name));
    const std::string dangling_folder = folder + "_dangling";
    ASSERT_EQ(mkdir(dangling_folder.c_str(), 0755), 0);
    ASSERT_EQ(symlink(absent.c_str(), (dangling_folder + "/" + name).c_str()), 0);

    EXPECT_EQ(hdd_copy_usb(folder.c_str(), S(start), S(end)), -2) << name;
    EXPECT_EQ(hdd_copy_usb(dangling_folder.c_str(), S(start), S(end)), -2) << name;
    EXPECT_EQ(velmora::testing::read_file(victim), "keep me") << name;
    EXPECT_FALSE(velmora::testing::file_exists(absent)) << name;
  }
  int32_t status = -1;
  hdd_copy_usb_get_sts(&status);
  EXPECT_EQ(status, 200);  // no copy was started
}

// velmora-disk export says why it refuses a folder holding a copy, and
// with --new-folder copies into the next free recNN folder in it.
TEST_F(CopyTest, ExportIntoAFolderHoldingACopyIsRefusedUnlessANewFolderIsAsked) {
  const std::string image = dir_.file("disk.img");
  std::string error;
  zebdisk::Manifest manifest;
  ASSERT_TRUE(zebdisk::write_disk(two_runs(), image, &manifest, &error)) << error;
  const std::string tool = velmora::testing::build_dir() + "/bin/velmora-disk export " + image +
                           " --from \"2024/05/01 10:00:03\" --to \"2024/05/01 10:00:06\" ";
  const std::string dest = dir_.file("out");
  ASSERT_EQ(velmora::testing::run_command(tool + dest).status, 0);
  const std::vector<uint8_t> first = file_bytes(dest + "/ZEB.dat");
  ASSERT_FALSE(first.empty());

  const auto again = velmora::testing::run_command(tool + dest);
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.text.find("already holds a copy"), std::string::npos) << again.text;
  EXPECT_TRUE(file_bytes(dest + "/ZEB.dat") == first);

  // rec00 exists already (made by hand, as by the viewer): rec01 is taken.
  ASSERT_EQ(mkdir((dest + "/rec00").c_str(), 0755), 0);
  const auto numbered = velmora::testing::run_command(tool + "--new-folder " + dest);
  EXPECT_EQ(numbered.status, 0) << numbered.text;
  EXPECT_TRUE(file_bytes(dest + "/rec01/ZEB.dat") == first);
  EXPECT_FALSE(velmora::testing::file_exists(dest + "/rec00/ZEB.dat"));
  EXPECT_TRUE(file_bytes(dest + "/ZEB.dat") == first);
}

TEST_F(CopyTest, TheFolderIsJoinedWithASlashUnlessItEndsInOne) {
  attach(two_runs());
  const RecTime start = T(2024, 5, 1, 10, 0, 5), end = T(2024, 5, 1, 10, 0, 6);
  const auto gops = copied_gops(manifest_, start, end);
  const std::string slash = dir_.file("a") + "/";
  ASSERT_EQ(copy(slash, start, end), 200);
  expect_copy_of(dir_.file("a"), gops);
  // A backslash is part of the folder's name here.
  const std::string backslash = dir_.file("b\\");
  ASSERT_EQ(copy(backslash, start, end), 200);
  expect_copy_of(backslash, gops);
}

TEST_F(CopyTest, ACopyStopsDiskPlayFirst) {
  attach(two_runs());
  channel_.refuse_from(2);
  ASSERT_EQ(hdd_read_start(), 0);
  ASSERT_EQ(hdd_play_start(), 0);
  ASSERT_TRUE(velmora::testing::wait_until([&] { return channel_.log().size() >= 3; }, 10s));
  const RecTime start = T(2024, 5, 1, 10, 0, 3), end = T(2024, 5, 1, 10, 0, 8);
  ASSERT_EQ(copy(dir_.file("copy"), start, end), 200);
  EXPECT_EQ(brin::play::control().hdd_state.load(), 0);
  expect_copy_of(dir_.file("copy"), copied_gops(manifest_, start, end));
}

// The copy reads each GOP's frames with the chunk reader. Sectors are
// addressed as 32-bit signed numbers: a chunk that ends on the last of them
// is read whole; one that would reach beyond it is refused, without the
// sector number of its second part overflowing (a sanitizer build traps
// that).
TEST(ChunkReader, AChunkReachingBeyondTheAddressableSectorsIsRefused) {
  constexpr uint64_t kSector = 512;
  const std::vector<uint8_t> payload(400, 0x42);
  zebsim::FrameSpec spec;
  std::vector<uint8_t> chunk(brin::disk::kChunkHeaderBytes, 0);
  chunk[brin::disk::kChunkFrameCountByte] = 1;
  zebsim::append_frame_record(chunk, spec, payload.data(), payload.size());
  ASSERT_EQ(chunk.size(), 548u);  // two sectors
  const uint64_t last = static_cast<uint64_t>(INT32_MAX);
  std::vector<uint8_t> out(brin::disk::kFrameBufferBytes);
  for (const uint64_t first : {last - 1, last}) {
    std::vector<vp::Drive::Extent> extents(1);
    extents[0].offset = first * kSector;
    extents[0].bytes = chunk;
    brin::disk::drive().open_memory(std::move(extents), (last + 4) * kSector);
    brin::disk::GopEntry entry;
    entry.sector = static_cast<uint32_t>(first);
    entry.size = static_cast<uint32_t>(chunk.size());
    int32_t length = -1;
    const int r = brin::disk::read_frame_chunk(entry, out.data(), out.size(), &length);
    if (first == last - 1) {
      EXPECT_EQ(r, 0);
      EXPECT_EQ(length, 448);
      EXPECT_TRUE(std::equal(payload.begin(), payload.end(), out.begin() + 48));
    } else {
      EXPECT_EQ(r, -1);
    }
  }
  brin::disk::drive().close();
}

}  // namespace
}  // namespace pbtest
