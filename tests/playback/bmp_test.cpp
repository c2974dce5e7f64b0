// The picture files: the displayed playback picture split by its layout and
// compared with an independent decode of the same frame, single frames of a
// split recording, and the picture helpers.
#include <ctime>
#include <set>

#include "../decode/forged_stream.h"
#include "OvoDec1.h"
#include "brinlib_internal.h"
#include "picture_reference.h"
#include "playback_fixture.h"

namespace pbtest {
namespace {

constexpr double kMinPsnr = 40.0;

class BmpTest : public PlaybackTest {
 protected:
  void SetUp() override {
    PlaybackTest::SetUp();
    setenv("TZ", "UTC0", 1);
    tzset();
    cwd_ = std::make_unique<velmora::testing::ScopedCwd>(pictures_.path());
  }
  void TearDown() override {
    PlaybackTest::TearDown();
    cwd_.reset();
  }

  // The channel library with its decode thread, nothing in between.
  void open_channel() {
    Channel::uninstall();
    ASSERT_EQ(Ovo_play_open(0, "", "", 0), 0);
  }

  std::string picture(int n) const { return pictures_.file("bmp" + std::to_string(n) + ".bmp"); }
  void remove_pictures() const {
    for (int n = 1; n <= 4; ++n) std::remove(picture(n).c_str());
  }

  // Exports the displayed picture until the files named by want match the
  // reference parts (column, row, width, height of the bottom-up picture).
  struct Part {
    int file;
    int column, row, width, height;
  };
  bool exported_matches(const std::vector<uint8_t>& reference, int ref_width, const std::vector<Part>& want,
                        int32_t* layout, int32_t* first, int32_t* second, bool through_make_bmp = false,
                        std::chrono::milliseconds timeout = 120s) {
    return velmora::testing::wait_until(
        [&] {
          uint32_t time = 0;
          int32_t idle = -1;
          if (through_make_bmp) {
            make_bmp(layout, first, second, &time, &idle);
            if (idle != 0) return false;
          } else {
            make_bmp_one(layout, first, second, &time);
          }
          for (const Part& p : want) {
            Bmp bmp;
            if (!read_bmp(picture(p.file), &bmp) || bmp.width != p.width || bmp.height != p.height) return false;
            if (psnr(bmp, reference, ref_width, p.column, p.row) < kMinPsnr) return false;
            // The same picture in memory.
            Bmp held;
            held.pixels.resize(static_cast<size_t>(704) * 480 * 3);
            uint32_t serial = 0;
            if (make_bmp_picture(p.file, held.pixels.data(), static_cast<int32_t>(held.pixels.size()), &held.width,
                                 &held.height, &serial) != 1)
              return false;
            held.pixels.resize(static_cast<size_t>(held.width) * static_cast<size_t>(held.height) * 3);
            if (held.width != p.width || held.height != p.height || held.pixels != bmp.pixels) return false;
          }
          return true;
        },
        timeout);
  }

  velmora::testing::TempDir pictures_;
  std::unique_ptr<velmora::testing::ScopedCwd> cwd_;
};

TEST_F(BmpTest, MakeBmpWithPlaybackStoppedSetsIdleAndWritesNothing) {
  int32_t layout = -5, first = -5, second = -5, idle = -5;
  uint32_t time = 7;
  ASSERT_EQ(make_bmp(&layout, &first, &second, &time, &idle), 0);
  EXPECT_EQ(idle, 1);
  for (int n = 1; n <= 4; ++n) EXPECT_FALSE(velmora::testing::file_exists(picture(n)));
  // Before any picture make_bmp_one writes nothing either.
  ASSERT_EQ(make_bmp_one(&layout, &first, &second, &time), 0);
  for (int n = 1; n <= 4; ++n) EXPECT_FALSE(velmora::testing::file_exists(picture(n)));
}

TEST_F(BmpTest, AQuadPictureBecomesFourQuarters) {
  const Clip clip = load_clip("cam0_704x480", 704, 480);
  ASSERT_FALSE(clip.bgr.empty());
  open_channel();
  const std::string frame = dir_.file("quad.mpi");
  ASSERT_TRUE(zebsim::write_binary_file(frame, clip_frame(clip, 0, 0x0F)));
  ASSERT_EQ(one_farme_view(frame.c_str(), ""), 0);
  int32_t layout = 0, first = 0, second = 0;
  // Slots 1 and 2 are the upper half (rows are stored bottom-up), 3 and 4
  // the lower.
  EXPECT_TRUE(exported_matches(
      clip.bgr[0], 704, {{1, 0, 240, 352, 240}, {2, 352, 240, 352, 240}, {3, 0, 0, 352, 240}, {4, 352, 0, 352, 240}},
      &layout, &first, &second));
  EXPECT_EQ(layout, 4);
  int32_t w = 0, h = 0;
  ASSERT_EQ(get_bmpsize(picture(3).c_str(), &w, &h), 0);
  EXPECT_EQ(w, 352);
  EXPECT_EQ(h, 240);

  // The pictures in memory: a wrong slot, no buffer or too small a buffer
  // takes nothing; the same picture exported again keeps its number.
  std::vector<uint8_t> rgb(static_cast<size_t>(704) * 480 * 3);
  uint32_t serial = 0, unchanged = 0, again = 0;
  for (int32_t slot : {0, 5})
    EXPECT_EQ(make_bmp_picture(slot, rgb.data(), static_cast<int32_t>(rgb.size()), &w, &h, &unchanged), -1);
  EXPECT_EQ(make_bmp_picture(1, nullptr, 10, &w, &h, &unchanged), -1);
  EXPECT_EQ(make_bmp_picture(4, rgb.data(), 352 * 240 * 3 - 1, &w, &h, &unchanged), -1);
  EXPECT_EQ(unchanged, 0u);
  ASSERT_EQ(make_bmp_picture(4, rgb.data(), static_cast<int32_t>(rgb.size()), &w, &h, &serial), 1);
  uint32_t time = 0;
  ASSERT_EQ(make_bmp_one(&layout, &first, &second, &time), 0);
  ASSERT_EQ(make_bmp_picture(4, rgb.data(), static_cast<int32_t>(rgb.size()), &w, &h, &again), 1);
  EXPECT_EQ(again, serial);
}

TEST_F(BmpTest, TwoPicturesGoToTheSlotsOfTheirCameras) {
  const Clip clip = load_clip("cam0_704x480", 704, 480);
  ASSERT_FALSE(clip.bgr.empty());
  open_channel();
  const std::string frame = dir_.file("two.mpi");
  // Cameras 1 and 3.
  ASSERT_TRUE(zebsim::write_binary_file(frame, clip_frame(clip, 0, 0x05)));
  ASSERT_EQ(one_farme_view(frame.c_str(), ""), 0);
  int32_t layout = 0, first = 0, second = 0;
  EXPECT_TRUE(
      exported_matches(clip.bgr[0], 704, {{1, 0, 240, 704, 240}, {3, 0, 0, 704, 240}}, &layout, &first, &second));
  EXPECT_EQ(layout, 2);
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 3);
  // The picture of the test before may have been exported while this one
  // was on its way; the two-camera picture alone writes no other files.
  remove_pictures();
  make_bmp_one(&layout, &first, &second, nullptr);
  EXPECT_TRUE(velmora::testing::file_exists(picture(1)));
  EXPECT_FALSE(velmora::testing::file_exists(picture(2)));
  EXPECT_TRUE(velmora::testing::file_exists(picture(3)));
  EXPECT_FALSE(velmora::testing::file_exists(picture(4)));
}

TEST_F(BmpTest, ASinglePictureIsItsUpperHalfOrInModeOneASmallPicture) {
  const Clip big = load_clip("cam0_704x480", 704, 480);
  const Clip small = load_clip("cam0_352x240", 352, 240);
  ASSERT_FALSE(big.bgr.empty());
  ASSERT_FALSE(small.bgr.empty());
  open_channel();
  const std::string frame = dir_.file("one.mpi");
  // Camera 2 alone.
  ASSERT_TRUE(zebsim::write_binary_file(frame, clip_frame(big, 0, 0x02)));
  ASSERT_EQ(one_farme_view(frame.c_str(), ""), 0);
  int32_t layout = 0, first = 0, second = 0;
  EXPECT_TRUE(exported_matches(big.bgr[0], 704, {{2, 0, 240, 704, 240}}, &layout, &first, &second));
  EXPECT_EQ(layout, 1);
  EXPECT_EQ(first, 2);
  remove_pictures();
  make_bmp_one(&layout, &first, &second, nullptr);
  EXPECT_TRUE(velmora::testing::file_exists(picture(2)));
  EXPECT_FALSE(velmora::testing::file_exists(picture(1)));

  ASSERT_EQ(set_make_bmp_mode(1), 0);
  EXPECT_EQ(get_make_bmp_mode(), 1);
  ASSERT_TRUE(zebsim::write_binary_file(frame, clip_frame(small, 0, 0x01)));
  ASSERT_EQ(one_farme_view(frame.c_str(), ""), 0);
  EXPECT_TRUE(exported_matches(small.bgr[0], 352, {{1, 0, 0, 352, 240}}, &layout, &first, &second));
  set_make_bmp_mode(0);
  uint32_t time = 0;
  make_bmp_one(&layout, &first, &second, &time);
  EXPECT_EQ(time, S(T(2024, 5, 1, 10, 0, 0)));
}

TEST_F(BmpTest, MakeBmpExportsWhilePlaybackIsActive) {
  const Clip clip = load_clip("cam0_704x480", 704, 480);
  ASSERT_FALSE(clip.bgr.empty());
  ASSERT_EQ(Ovo_play_open(0, "", "", 0), 0);
  // A copy of two GOPs of one intra picture each, played fast: the first
  // goes to the channel, the second is refused for as long as the test
  // runs, so the state stays fast forward on the first picture.
  const auto a = clip_frame(clip, 0, 0x0F);
  const auto b = clip_frame(clip, clip.intra().at(1), 0x0F, true);
  std::vector<uint8_t> data(a);
  data.insert(data.end(), b.begin(), b.end());
  std::vector<uint8_t> index(48, 0);
  brin::copyfile::Record r;
  r.time = T(2024, 5, 1, 10, 0, 0);
  brin::copyfile::encode_record(r, index.data());
  r.offset = a.size();
  r.time = T(2024, 5, 1, 10, 0, 1);
  brin::copyfile::encode_record(r, index.data() + 24);
  ASSERT_TRUE(zebsim::write_binary_file(dir_.file("ZEB.dat"), data));
  ASSERT_TRUE(zebsim::write_binary_file(dir_.file(".index"), index));
  channel_.refuse_from(2);
  channel_.forward_to([](const uint8_t* f, int32_t l, int32_t m, int32_t s) { return play_add_ring1(0, f, l, m, s); });
  ASSERT_EQ(playfile(dir_.file("ZEB.dat").c_str(), dir_.file(".index").c_str(), ""), 0);
  ASSERT_EQ(file_play_forward(1), 0);
  int32_t layout = 0, first = 0, second = 0;
  EXPECT_TRUE(exported_matches(
      clip.bgr[0], 704, {{1, 0, 240, 352, 240}, {2, 352, 240, 352, 240}, {3, 0, 0, 352, 240}, {4, 352, 0, 352, 240}},
      &layout, &first, &second, true));
  EXPECT_EQ(layout, 4);
  ASSERT_EQ(file_play_stop(), 0);
  int32_t idle = 0;
  uint32_t time = 0;
  make_bmp(&layout, &first, &second, &time, &idle);
  EXPECT_EQ(idle, 1);
}

TEST_F(BmpTest, DiskAndCopyPlaybackShowTheSamePictures) {
  const Clip clip = load_clip("cam0_704x480", 704, 480);
  ASSERT_FALSE(clip.bgr.empty());
  const std::vector<size_t> intra = clip.intra();
  ASSERT_GE(intra.size(), 3u);
  zebdisk::DiskSpec spec = two_runs();
  spec.clips = {velmora::testing::clips_dir() + "/cam0_704x480.m4v"};
  spec.runs.resize(1);
  attach(spec);
  open_channel();
  const RecTime start = T(2024, 5, 1, 10, 0, 4), end = T(2024, 5, 1, 10, 0, 5);
  ASSERT_EQ(copy(dir_.file("copy"), start, end), 200);
  ASSERT_EQ(hdd_read_start(), 0);
  ASSERT_EQ(playfile(dir_.file("copy/ZEB.dat").c_str(), dir_.file("copy/.index").c_str(), ""), 0);
  // Each GOP starts on an intra picture of the clip, in turn; a step from
  // the GOP's time shows it. The channel library drops what is queued when
  // a new play state begins, and a step handed over while a busy decode
  // thread has not yet done so is dropped with it: such a step is repeated.
  auto show = [&](bool from_disk, int g) {
    const uint32_t t = S(start) + static_cast<uint32_t>(g - 4);
    const auto& want = clip.bgr[intra[static_cast<size_t>(g) % intra.size()]];
    int32_t layout = 0, first = 0, second = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
      if (from_disk) {
        EXPECT_EQ(search_play(t), 1);
        EXPECT_EQ(hdd_one_play(), 0);
        EXPECT_TRUE(hdd_idle());
      } else {
        EXPECT_EQ(file_search(t), 0);
        EXPECT_EQ(file_one_play(), 0);
        EXPECT_TRUE(file_idle());
      }
      if (exported_matches(want, 704, {{1, 0, 240, 704, 240}}, &layout, &first, &second, false, 20s)) {
        EXPECT_EQ(layout, 1);
        EXPECT_EQ(first, 1);
        return file_bytes(picture(1));
      }
    }
    ADD_FAILURE() << (from_disk ? "disk" : "copy") << " GOP " << g << " was never shown";
    return std::vector<uint8_t>{};
  };
  for (int g = 4; g < 6; ++g) {
    const auto disk = show(true, g);
    const auto copied = show(false, g);
    EXPECT_FALSE(disk.empty());
    EXPECT_TRUE(disk == copied) << "GOP " << g;
  }
}

// The best PSNR of the exported picture file n against any picture of a
// clip, taken as the part (column, row, width, height) of each.
double best_match(const Bmp& bmp, const Clip& clip, int column, int row) {
  double best = 0;
  for (const auto& p : clip.bgr) best = std::max(best, psnr(bmp, p, clip.width, column, row));
  return best;
}

TEST_F(BmpTest, PlayedCamerasOfTheirOwnStreamsAreNeverMixedInOneDecoder) {
  // Data that holds two cameras as streams of their own, interleaved picture
  // by picture: played at full rate, every picture shown is camera 1's, as
  // its clip decodes, never a picture decoded across both streams.
  const Clip own = load_clip("cam0_704x480", 704, 480);
  ASSERT_FALSE(own.bgr.empty());
  zebdisk::DiskSpec spec = two_runs();
  spec.cameras = 2;
  spec.per_camera_streams = true;
  spec.pictures_per_gop = 15;
  spec.clips = {velmora::testing::clips_dir() + "/cam0_704x480.m4v",
                velmora::testing::clips_dir() + "/cam1_704x480.m4v"};
  // Playback runs at the recording's pace; a run long enough that a slow
  // machine still sees four pictures of it before it ends.
  spec.runs = {run(T(2024, 5, 1, 10, 0, 0), T(2024, 5, 1, 10, 1, 0))};
  attach(spec);
  open_channel();
  ASSERT_EQ(hdd_read_start(), 0);
  ASSERT_EQ(hdd_play_start(), 0);
  // Only collected while playback runs, so that the poll keeps up however
  // slow the comparisons are; compared once playback has stopped.
  struct Seen {
    uint32_t time;
    int32_t layout, first;
    Bmp bmp;
  };
  std::vector<Seen> seen;
  std::set<uint32_t> times;
  EXPECT_TRUE(velmora::testing::wait_until(
      [&] {
        Seen s{};
        int32_t second = 0;
        make_bmp_one(&s.layout, &s.first, &second, &s.time);
        if (s.time == 0 || times.count(s.time) || !read_bmp(picture(1), &s.bmp)) return false;
        times.insert(s.time);
        seen.push_back(std::move(s));
        return seen.size() >= 4;
      },
      120s));
  EXPECT_EQ(hdd_play_stop(), 0);
  for (const Seen& s : seen) {
    EXPECT_EQ(s.layout, 1);
    EXPECT_EQ(s.first, 1);
    EXPECT_GE(best_match(s.bmp, own, 0, 240), kMinPsnr) << "picture at " << s.time;
  }
}

TEST_F(BmpTest, ARecordedQuadPictureGivesEachCameraItsFile) {
  // As a recorder records four cameras: one stream of quad pictures. Each
  // file holds its camera's source as ffmpeg decodes that source alone.
  std::vector<Clip> cameras;
  for (int c = 0; c < 4; ++c) cameras.push_back(load_clip("cam" + std::to_string(c) + "_352x240", 352, 240));
  zebdisk::DiskSpec spec = two_runs();
  spec.cameras = 4;
  spec.pictures_per_gop = 15;
  spec.clips_folder = velmora::testing::clips_dir();
  spec.runs.resize(1);
  attach(spec);
  open_channel();
  ASSERT_EQ(hdd_read_start(), 0);
  ASSERT_EQ(search_play(S(T(2024, 5, 1, 10, 0, 2))), 1);
  ASSERT_EQ(hdd_one_play(), 0);
  EXPECT_TRUE(hdd_idle());
  int32_t layout = 0, first = 0, second = 0;
  uint32_t time = 0;
  ASSERT_TRUE(velmora::testing::wait_until(
      [&] {
        make_bmp_one(&layout, &first, &second, &time);
        return layout == 4 && time != 0;
      },
      120s));
  for (int n = 1; n <= 4; ++n) {
    Bmp bmp;
    ASSERT_TRUE(read_bmp(picture(n), &bmp));
    ASSERT_EQ(bmp.width, 352);
    ASSERT_EQ(bmp.height, 240);
    const double own = best_match(bmp, cameras[static_cast<size_t>(n - 1)], 0, 0);
    EXPECT_GE(own, 25.0) << "file " << n;
    for (int other = 1; other <= 4; ++other) {
      if (other == n) continue;
      EXPECT_GE(own - best_match(bmp, cameras[static_cast<size_t>(other - 1)], 0, 0), 6.0) << n;
    }
  }
}

TEST_F(BmpTest, AStreamHeaderLargerThanARecorderRecordsIsRefusedUnallocated) {
  // Forged stream headers handed to the playback channel, whether they
  // start the decoder or come in the middle of a stream: a picture over
  // 1920 x 1088 is refused with the error flag, and no picture memory is
  // taken for it.
  open_channel();
  auto refused = [&](int width, int height) {
    const auto packet = forged::packet(0, width, height);
    zebsim::FrameSpec spec;
    spec.camera_set = 0x01;
    const auto frame = zebsim::frame_record(spec, packet.data(), packet.size());
    const bool flagged = velmora::testing::wait_until(
        [&] {
          play_add_ring1(0, frame.data(), static_cast<int32_t>(frame.size()), 0, 0);
          return get_dec_sts() == 1;
        },
        60s);
    clear_dec_err();
    return flagged;
  };
  const size_t before = forged::resident_bytes();
  EXPECT_TRUE(refused(4095, 4095));
  EXPECT_TRUE(refused(1921, 1088));
  EXPECT_TRUE(refused(1920, 1089));
  EXPECT_TRUE(refused(4095, 4095));
  // One 4095 x 4095 picture alone would take 25 MB.
  EXPECT_LT(forged::resident_bytes(), before + 20u * 1048576);
}

TEST_F(BmpTest, KeltestWritesTheWholePicture) {
  const Clip clip = load_clip("cam0_704x480", 704, 480);
  ASSERT_FALSE(clip.bgr.empty());
  open_channel();
  const std::string frame = dir_.file("f.mpi");
  ASSERT_TRUE(zebsim::write_binary_file(frame, clip_frame(clip, 0, 0x01)));
  ASSERT_EQ(one_farme_view(frame.c_str(), ""), 0);
  EXPECT_TRUE(velmora::testing::wait_until(
      [&] {
        keltest(0);
        Bmp bmp;
        return read_bmp(pictures_.file("Bitmap1.bmp"), &bmp) && bmp.width == 704 && bmp.height == 480 &&
               psnr(bmp, clip.bgr[0], 704, 0, 0) >= kMinPsnr;
      },
      120s));
}

TEST_F(BmpTest, GetBmpsizeReadsTheHeaders) {
  int32_t w = 0, h = 0;
  EXPECT_EQ(get_bmpsize(pictures_.file("none.bmp").c_str(), &w, &h), -1);
  EXPECT_EQ(get_bmpsize(nullptr, &w, &h), -1);
  std::vector<uint8_t> header(54, 0);
  header[0] = 'B';
  header[1] = 'M';
  header[18] = 0x40;
  header[19] = 0x01;  // 320
  header[22] = 0xF0;  // 240
  ASSERT_TRUE(zebsim::write_binary_file(pictures_.file("a.bmp"), header));
  EXPECT_EQ(get_bmpsize(pictures_.file("a.bmp").c_str(), nullptr, &h), -1);
  ASSERT_EQ(get_bmpsize(pictures_.file("a.bmp").c_str(), &w, &h), 0);
  EXPECT_EQ(w, 320);
  EXPECT_EQ(h, 240);
  header.resize(40);
  ASSERT_TRUE(zebsim::write_binary_file(pictures_.file("short.bmp"), header));
  EXPECT_EQ(get_bmpsize(pictures_.file("short.bmp").c_str(), &w, &h), -1);
}

class I2BmpTest : public BmpTest {
 protected:
  // Picture k of a clip as the splitter writes it: one recorder packet.
  static std::vector<uint8_t> packet(const Clip& c, size_t k) {
    const auto bytes = c.picture(k);
    zebsim::PacketSpec spec;
    spec.pts = 3003 * k;
    return zebsim::recorder_packet(spec, bytes.data(), bytes.size());
  }
};

TEST_F(I2BmpTest, NeedsTheDecodersSetUp) {
  decode_deinit();
  EXPECT_EQ(I2BMP(dir_.file("x.dat").c_str(), pictures_.file("x.bmp").c_str(), "folder/", 0, 3, 3), -10);
}

TEST_F(I2BmpTest, TakesTheNearestFrameFileTowardsTheStart) {
  const Clip cam0 = load_clip("cam0_704x480", 704, 480);
  const Clip cam1 = load_clip("cam1_704x480", 704, 480);
  ASSERT_FALSE(cam0.bgr.empty());
  ASSERT_EQ(decode_init(), 0);
  const std::string folder = dir_.path() + "/";
  // Frames 0 to 6 hold another camera's picture, frame 7 the one wanted;
  // 8 to 10 do not exist.
  for (int n = 0; n < 7; ++n)
    ASSERT_TRUE(zebsim::write_binary_file(folder + "0_" + std::to_string(n) + ".dat", packet(cam1, 0)));
  ASSERT_TRUE(zebsim::write_binary_file(folder + "0_7.dat", packet(cam0, 0)));
  const std::string bmp = pictures_.file("frame.bmp");
  EXPECT_EQ(I2BMP("", bmp.c_str(), folder.c_str(), 0, 10, 0), 10);
  Bmp got;
  ASSERT_TRUE(read_bmp(bmp, &got));
  // The picture without its first 8 rows.
  EXPECT_EQ(got.width, 704);
  EXPECT_EQ(got.height, 472);
  EXPECT_GE(psnr(got, cam0.bgr[0], 704, 0, 8), kMinPsnr);
  // Towards a start above the frame as well; nothing in range gives -1.
  EXPECT_EQ(I2BMP("", bmp.c_str(), folder.c_str(), 0, 5, 9), 5);
  EXPECT_EQ(I2BMP("", bmp.c_str(), folder.c_str(), 0, 20, 12), -1);
  EXPECT_EQ(I2BMP("", bmp.c_str(), folder.c_str(), 3, 10, 0), -1);
}

TEST_F(I2BmpTest, AtTheStartFrameTheGivenFileIsUsed) {
  const Clip cam0 = load_clip("cam0_704x480", 704, 480);
  ASSERT_EQ(decode_init(), 0);
  const std::string file = dir_.file("given.dat");
  ASSERT_TRUE(zebsim::write_binary_file(file, packet(cam0, 0)));
  const std::string bmp = pictures_.file("frame.bmp");
  EXPECT_EQ(I2BMP(file.c_str(), bmp.c_str(), "nowhere/", 0, 4, 4), 4);
  EXPECT_TRUE(velmora::testing::file_exists(bmp));
  EXPECT_EQ(I2BMP(dir_.file("missing.dat").c_str(), bmp.c_str(), "nowhere/", 0, 4, 4), -1);
}

TEST_F(I2BmpTest, FilesWithoutAPictureAreReported) {
  const Clip cam0 = load_clip("cam0_704x480", 704, 480);
  ASSERT_EQ(decode_init(), 0);
  const std::string bmp = pictures_.file("frame.bmp");
  // No packet at all.
  const std::string junk = dir_.file("junk.dat");
  ASSERT_TRUE(zebsim::write_binary_file(junk, std::vector<uint8_t>(500, 0x42)));
  EXPECT_EQ(I2BMP(junk.c_str(), bmp.c_str(), "", 0, 0, 0), 0);
  // A predicted picture without the stream before it: the header scan's
  // flags, and no file.
  const std::string p_frame = dir_.file("p.dat");
  const auto data = packet(cam0, 1);
  ASSERT_TRUE(zebsim::write_binary_file(p_frame, data));
  brin::decode::HeaderScan scan;
  const int flags = brin::decode::scan_headers(data.data(), data.size(), &scan);
  ASSERT_NE(flags, 0);
  EXPECT_EQ(I2BMP(p_frame.c_str(), bmp.c_str(), "", 0, 1, 1), flags);
  EXPECT_FALSE(velmora::testing::file_exists(bmp));
}

}  // namespace
}  // namespace pbtest
