// Damaged data and index files: sizes, back distances and index positions
// that do not fit the file are taken for what they are, and the reader, the
// player and the splitter carry on without reading outside the file.
#include <algorithm>

#include "brinlib_internal.h"
#include "dl_fixture.h"
#include "velmora/rectime.h"

namespace {

using namespace std::chrono_literals;
using velmora::testing::TempDir;
using velmora::testing::wait_until;
namespace dl = brin::dl;

const uint32_t kStart = vp::rec_seconds(2026, 12, 7, 10, 0, 0);

std::vector<uint8_t> packet(bool video, int channel, uint64_t pts, size_t payload, uint8_t fill = 0x11,
                            uint32_t total = 0, uint32_t back = 0) {
  zebsim::PacketSpec spec;
  spec.video = video;
  spec.channel = channel;
  spec.pts = pts;
  spec.total_size = total;
  spec.back_distance = back;
  std::vector<uint8_t> body(payload, fill);
  return zebsim::recorder_packet(spec, body.data(), body.size());
}

// Reads a memory file through the reader.
struct MemoryFile {
  explicit MemoryFile(std::vector<uint8_t> bytes) : data(std::move(bytes)) {
    reader.attach(fmemopen(data.data(), data.size(), "rb"));
  }
  std::vector<uint8_t> data;
  dl::DataReader reader;
};

TEST(DataReader, FindsPacketsAcrossReadBlocksAndChecksTheirSizes) {
  std::vector<uint8_t> bytes(65534, 0x55);  // the next start code straddles the first read block
  const std::vector<uint8_t> a = packet(true, 3, 9000, 100);
  bytes.insert(bytes.end(), a.begin(), a.end());
  // A packet whose size field says 4 MiB - 1, followed by one that says 5.
  std::vector<uint8_t> b = packet(false, 1, 12000, 60, 0x22, 0x3FFFFF);
  bytes.insert(bytes.end(), b.begin(), b.end());
  std::vector<uint8_t> c = packet(true, 2, 15000, 40, 0x33, 5);
  bytes.insert(bytes.end(), c.begin(), c.end());
  bytes.insert(bytes.end(), {0x00, 0x00, 0x01, 0xE4, 0x00});  // a header cut off by the end of the file
  MemoryFile f(bytes);
  ASSERT_TRUE(f.reader.is_open());

  dl::Packet p;
  ASSERT_TRUE(f.reader.locate(0, &p));
  EXPECT_EQ(p.position, 65534);
  EXPECT_EQ(p.channel, 3);
  EXPECT_EQ(p.kind, dl::kVideoPacket);
  EXPECT_EQ(p.time, 9000u);
  EXPECT_EQ(p.length, a.size());
  EXPECT_FALSE(f.reader.locate(1, &p, true));  // strict: no start code right there
  EXPECT_TRUE(f.reader.locate(65534, &p, true));

  ASSERT_TRUE(f.reader.locate(65534 + static_cast<int64_t>(a.size()), &p));
  EXPECT_EQ(p.kind, dl::kAudioPacket);
  EXPECT_EQ(p.length, b.size());  // the size field is beyond the file: up to the next packet
  ASSERT_TRUE(f.reader.locate(p.position + static_cast<int64_t>(p.length), &p));
  EXPECT_EQ(p.channel, 2);
  EXPECT_EQ(p.length, c.size());  // a size smaller than a header: up to the next start code
  EXPECT_FALSE(f.reader.locate(p.position + static_cast<int64_t>(p.length), &p));
  EXPECT_FALSE(f.reader.locate(-1, &p));
  EXPECT_FALSE(f.reader.locate(static_cast<int64_t>(bytes.size()), &p));
}

TEST(DataReader, GivesUpAfterTheScanLimit) {
  std::vector<uint8_t> bytes(300000, 0);
  const std::vector<uint8_t> a = packet(true, 0, 1, 40);
  std::copy(a.begin(), a.end(), bytes.begin() + 270000);
  MemoryFile f(bytes);
  dl::Packet p;
  EXPECT_FALSE(f.reader.locate(0, &p));
  EXPECT_TRUE(f.reader.locate(20000, &p));
}

TEST(DataReader, WrongSizeEndsAtTheNextStartCodeFarBehind) {
  // The size field is beyond the file, so the packet ends at the next start
  // code: 65541 bytes behind its own, across the first 64 KiB searched.
  const size_t header = packet(false, 1, 12000, 0, 0x22, 0x3FFFFF).size();
  std::vector<uint8_t> bytes = packet(false, 1, 12000, 65541 - header, 0x22, 0x3FFFFF);
  const std::vector<uint8_t> a = packet(true, 3, 15000, 40);
  bytes.insert(bytes.end(), a.begin(), a.end());
  // Then one with no start code behind it for more than the 1 MiB window.
  const size_t second = bytes.size();
  const std::vector<uint8_t> b = packet(false, 2, 18000, 1200000, 0x22, 0x3FFFFF);
  bytes.insert(bytes.end(), b.begin(), b.end());
  MemoryFile f(bytes);
  dl::Packet p;
  ASSERT_TRUE(f.reader.locate(0, &p));
  EXPECT_EQ(p.length, 65541u);
  ASSERT_TRUE(f.reader.locate(65541, &p));
  EXPECT_EQ(p.length, a.size());
  ASSERT_TRUE(f.reader.locate(static_cast<int64_t>(second), &p));
  EXPECT_EQ(p.length, 1048576u);
}

TEST(IndexFile, WrittenWholeAndReadBackToTheEndOfTheList) {
  TempDir dir;
  const std::string path = dir.file(".index");
  std::vector<dl::IndexEntry> entries;
  for (uint32_t i = 0; i < 1500; ++i) entries.push_back({0, static_cast<uint8_t>(i % 16), 100 + 10 * i, i});
  ASSERT_TRUE(dl::write_index_file(path, entries));
  FILE* f = std::fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fseek(f, 0, SEEK_END), 0);
  EXPECT_EQ(std::ftell(f), 6912000);  // 576000 entries of 12 bytes, unused ones zero
  std::fseek(f, 12 * 1500, SEEK_SET);
  std::vector<uint8_t> rest(6912000 - 12 * 1500, 1);
  ASSERT_EQ(std::fread(rest.data(), 1, rest.size(), f), rest.size());
  EXPECT_EQ(std::count(rest.begin(), rest.end(), 0), static_cast<std::ptrdiff_t>(rest.size()));
  std::rewind(f);
  std::vector<dl::IndexEntry> got = dl::read_index_file(f, 100000);
  ASSERT_EQ(got.size(), 1500u);
  EXPECT_EQ(got[1499].position, 100u + 14990u);
  EXPECT_EQ(got[1499].channel, 1499 % 16);
  EXPECT_EQ(got[1499].time, 1499u);
  std::rewind(f);
  // An entry beyond the data file ends the list, wherever it lies.
  EXPECT_EQ(dl::read_index_file(f, 100 + 10 * 1100).size(), 1100u);
  std::fclose(f);
}

TEST(IndexFile, EndsAtTheFirstEntryOutsideTheFile) {
  std::vector<uint8_t> bytes(12 * 5, 0);
  const dl::IndexEntry entries[] = {{0, 1, 300, 7}, {1, 2, 900, 8}, {0, 3, 5000, 9}, {0, 1, 400, 10}};
  for (int i = 0; i < 4; ++i) dl::encode_index_entry(entries[i], &bytes[static_cast<size_t>(12 * i)]);
  std::vector<dl::IndexEntry> got = dl::parse_index(bytes.data(), bytes.size(), 1000);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1].position, 900u);
  EXPECT_EQ(got[1].channel, 2);
  EXPECT_EQ(dl::parse_index(bytes.data(), bytes.size(), 6000).size(), 4u);
  EXPECT_EQ(dl::parse_index(bytes.data(), 23, 6000).size(), 1u);  // a cut entry is not read

  // Channels outside 0..15 mark no mask bit.
  int video = 0, audio = 0;
  dl::index_masks({{0, 200, 300, 0}, {1, 3, 400, 0}, {0, 15, 500, 0}}, &video, &audio);
  EXPECT_EQ(video, 0x8000);
  EXPECT_EQ(audio, 0x8);
}

TEST(IndexFile, KeyPictureIntervalClass) {
  using E = dl::IndexEntry;
  EXPECT_EQ(dl::interval_class({E{0, 0, 300, 0}, E{1, 0, 400, 0}}).class_ms, 500);  // audio present
  const dl::IntervalClass one_second = dl::interval_class({E{0, 2, 300, 1000}, E{0, 2, 600, 91000}});
  EXPECT_EQ(one_second.class_ms, 1000);
  EXPECT_EQ(one_second.reference_channel, -1);
  const dl::IntervalClass half =
      dl::interval_class({E{0, 2, 300, 1000}, E{0, 5, 400, 0}, E{0, 2, 600, 46000}, E{0, 5, 700, 45000}});
  EXPECT_EQ(half.class_ms, 500);
  EXPECT_EQ(half.reference_channel, 2);
  EXPECT_EQ(dl::interval_class({E{0, 2, 300, 1000}, E{0, 2, 600, 1000}}).class_ms, 1000);  // 0 ms does not count
}

TEST(Format, PackHeaderRoundTrip) {
  uint8_t h[16];
  for (uint32_t v : {0u, 15u, 0x12345678u, 0xFFFFFFFFu}) {
    dl::write_pack_header(h, v);
    uint32_t back = 1;
    ASSERT_TRUE(dl::read_pack_header(h, sizeof h, &back));
    EXPECT_EQ(back, v);
    EXPECT_EQ(h[13], 0xFA);
  }
  h[3] = 0xBB;
  EXPECT_FALSE(dl::read_pack_header(h, sizeof h, nullptr));
  EXPECT_FALSE(dl::read_pack_header(h, 10, nullptr));
}

class DamagedFile : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(decode_init(), 0); }
  void TearDown() override { decode_deinit(); }

  // A copied file with its packets' size and back-distance fields spoilt
  // every few packets, and an index with nonsense in it.
  void make() {
    {
      dl_test::CopyServer server({}, 7);
      ASSERT_TRUE(server.ready());
      ASSERT_EQ(dl_test::run_copy(7, dir_.file("good.dat"), good_.path()).fast, 1);
    }
    std::vector<uint8_t> f = dl_test::bytes_of(dir_.file("good.dat"));
    size_t at = dl_test::first_packet(f, 0, f.size());
    for (int n = 0; at + 27 <= f.size(); ++n) {
      const uint32_t size = zebsim::get_private22(&f[at + 24]);
      if (n % 3 == 1) zebsim::put_private22(&f[at + 24], n % 2 ? 0x3FFFFF : 3);
      if (n % 4 == 2) zebsim::put_private22(&f[at + 21], n % 8 == 2 ? 0x3FFFFF : 200000);
      at = dl_test::first_packet(f, at + size, f.size());
    }
    f.resize(f.size() - 1000);  // and the end cut off
    ASSERT_TRUE(zebsim::write_binary_file(dir_.file("bad.dat"), f));
    std::vector<uint8_t> index(12 * 6, 0);
    const dl::IndexEntry entries[] = {{0, 0, 292, 0},  {5, 99, 400, 1},         {0, 0, 293, 2},
                                      {1, 1, 1000, 3}, {0, 2, f.size() - 3, 4}, {0, 0, f.size() + 10, 5}};
    for (int i = 0; i < 6; ++i) dl::encode_index_entry(entries[i], &index[static_cast<size_t>(12 * i)]);
    ASSERT_TRUE(zebsim::write_binary_file(dir_.file(".index"), index));
  }
  TempDir dir_, good_, bmp_;
};

TEST_F(DamagedFile, PlayerAndSplitterCarryOn) {
  make();
  const std::string path = dir_.file("bad.dat");
  ASSERT_GT(Mpeg4DLdata_fileopen(path.c_str(), bmp_.path().c_str(), dir_.path().c_str(), 10), 0);
  EXPECT_EQ(brin::dl::testing::index_entries().size(), 5u);  // up to the entry beyond the file
  for (int mode : {6, 5, 0}) {
    Mpeg4DLdata_set_disptype(mode == 0 ? 1 : -1);
    Mpeg4DLdata_set_PlayPos(100, mode == 5 ? 100 : 0);
    Mpeg4DLdata_set_m_nPlayMode(mode);
    if (mode == 0) {
      EXPECT_TRUE(wait_until([] { return Mpeg4DLdata_get_PlayPos(100) == 100; }, 30s));
    } else {
      // The key-picture modes stop at the end of the index, wherever that is.
      std::vector<int32_t> seen;
      EXPECT_TRUE(wait_until(
          [&] {
            seen.push_back(Mpeg4DLdata_get_PlayPos(0));
            return seen.size() > 20 && seen[seen.size() - 1] == seen[seen.size() - 20];
          },
          10s));
    }
    Mpeg4DLdata_set_m_nPlayMode(2);
  }
  EXPECT_FALSE(brin::dl::testing::played().empty());
  // Searching walks by back distances that point nowhere useful.
  make_base_tm(static_cast<int32_t>(kStart));
  for (int32_t s = -3; s < 5; ++s) {
    const int32_t r = Mpeg4DLdata_search(static_cast<int32_t>(kStart) + s, s % 2 ? 100 : 0);
    EXPECT_GE(r, 0);
    EXPECT_LE(r, static_cast<int32_t>(dl_test::bytes_of(path).size()));
  }
  Mpeg4DLdata_fileclose();

  const int32_t frames = Mpeg4Play(path.c_str(), bmp_.path().c_str(), 0);
  EXPECT_GE(frames, 0);
  EXPECT_LE(frames, 59);
}

}  // namespace
