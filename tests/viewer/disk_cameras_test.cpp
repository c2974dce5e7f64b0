// The window playing disks as a recorder writes them (zeb-mkdisk images of
// one recorded stream whose pictures show the cameras together): every cell
// must show its own camera, compared with ffmpeg's decoding of that camera's
// source, and the recorded sound must be heard. A program of its own, so
// that the sound of the playback engine goes to a WAV file of this run.
#include <unistd.h>

#include <QCheckBox>
#include <QImage>
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "disk_fixture.h"
#include "reference_pictures.h"

namespace {

using namespace velmora::viewer;

// Set before main() starts the window's libraries: the engine's sound (and
// any further output, as <path>.N.wav) is written to files, named by the
// process so that tests running side by side never hear each other.
const std::string& sound_file() {
  static const std::string path =
      velmora::testing::build_dir() + "/disk_cameras_sound." + std::to_string(::getpid()) + ".wav";
  return path;
}
std::vector<std::string> sound_files() {
  std::vector<std::string> files = {sound_file()};
  for (int n = 1; n <= 4; ++n) files.push_back(sound_file() + "." + std::to_string(n) + ".wav");
  return files;
}

const bool kSoundToFile = [] {
  setenv("VELMORA_AUDIO", ("wav:" + sound_file()).c_str(), 1);
  std::atexit([] {
    for (const std::string& f : sound_files()) std::remove(f.c_str());
  });
  return true;
}();

uint64_t file_size(const std::string& path) {
  std::ifstream f(path, std::ios::binary | std::ios::ate);
  return f ? static_cast<uint64_t>(f.tellg()) : 0;
}

// The 16-bit samples written to the sound files after the given sizes.
std::vector<int16_t> samples_since(const std::vector<uint64_t>& sizes) {
  std::vector<int16_t> all;
  const std::vector<std::string> files = sound_files();
  for (size_t i = 0; i < files.size(); ++i) {
    std::ifstream f(files[i], std::ios::binary);
    if (!f) continue;
    const uint64_t from = std::max<uint64_t>(sizes[i], 44);
    f.seekg(static_cast<std::streamoff>(from));
    std::vector<char> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    for (size_t k = 0; k + 1 < bytes.size(); k += 2)
      all.push_back(static_cast<int16_t>(static_cast<uint8_t>(bytes[k]) | static_cast<uint8_t>(bytes[k + 1]) << 8));
  }
  return all;
}

std::vector<uint64_t> sound_sizes() {
  std::vector<uint64_t> sizes;
  for (const std::string& f : sound_files()) sizes.push_back(file_size(f));
  return sizes;
}

// Samples louder than a whisper, and the share of the sound's energy at hz
// (8000 samples per second). The share is taken window by window, 100 ms
// each, and summed: on a busy machine the device may repeat or skip a
// block, and a jump of the tone's phase between blocks must not count as
// another sound, as it would in one transform over the whole sound.
struct Heard {
  size_t loud = 0;
  double share = 0;
};
Heard listen(const std::vector<int16_t>& s, double hz) {
  constexpr size_t kWindow = 800;
  Heard h;
  double energy = 0, at_hz = 0;
  const double step = 2 * M_PI * hz / 8000.0;
  for (size_t start = 0; start < s.size(); start += kWindow) {
    const size_t n = std::min(kWindow, s.size() - start);
    std::complex<double> bin = 0;
    for (size_t i = 0; i < n; ++i) {
      const double v = s[start + i];
      if (std::abs(v) > 1000) ++h.loud;
      energy += v * v;
      bin += v * std::polar(1.0, -step * static_cast<double>(i));
    }
    at_hz += 2 * std::norm(bin) / static_cast<double>(n);
  }
  if (energy > 0) h.share = at_hz / energy;
  return h;
}

// PSNR of a cell's picture against a bottom-up BGR reference of its size.
double psnr(const QImage& cell, const std::vector<uint8_t>& bgr) {
  const QImage rgb = cell.convertToFormat(QImage::Format_RGB888);
  const int w = rgb.width(), h = rgb.height();
  if (static_cast<size_t>(w) * h * 3 != bgr.size()) return 0;
  double sum = 0;
  for (int y = 0; y < h; ++y) {
    const uint8_t* row = rgb.constScanLine(y);
    const uint8_t* ref = &bgr[static_cast<size_t>(h - 1 - y) * w * 3];
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < 3; ++c) {
        const double d = static_cast<double>(row[x * 3 + c]) - ref[x * 3 + 2 - c];
        sum += d * d;
      }
  }
  const double mse = sum / (static_cast<double>(w) * h * 3);
  return mse <= 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

// The cameras' sources as ffmpeg decodes the build's clips of them.
struct Sources {
  std::vector<std::vector<std::vector<uint8_t>>> cameras;  // camera, picture, bottom-up BGR
  int width = 0, height = 0;

  Sources(const std::vector<std::string>& clips, int w, int h) : width(w), height(h) {
    for (const std::string& clip : clips) {
      std::vector<std::vector<uint8_t>> pictures;
      for (const auto& f : velmora::testing::ffmpeg_i420_frames(velmora::testing::clips_dir() + "/" + clip, w, h))
        pictures.push_back(velmora::testing::i420_to_bgr(f.data(), w, h));
      cameras.push_back(std::move(pictures));
    }
  }
  // The best PSNR of a cell against any picture of a camera.
  double best(const QImage& cell, size_t camera) const {
    double top = 0;
    for (const auto& p : cameras[camera]) top = std::max(top, psnr(cell, p));
    return top;
  }
};

// A cell showing its camera (the recorder's coding, a different scaler, a
// few pictures off) stays well above this; another camera well below.
constexpr double kMinMatchDb = 18.0;
constexpr double kMinMarginDb = 6.0;

class DiskCameras : public DiskViewerTest {
 protected:
  std::string recorder_disk(const std::string& name, int cameras) {
    return make_disk(name, "cameras " + std::to_string(cameras) + "\nclips " + velmora::testing::clips_dir() +
                               "\npictures_per_gop 15\naudio_per_gop 50\n"
                               "run 2026/12/07 09:00:00 2026/12/07 09:00:40\n");
  }

  void set_high(bool on) {
    ASSERT_TRUE(
        velmora::testing::write_file(home_.file("sn.ini"), std::string("[ZEB]\nspeed=") + (on ? "1" : "0") + "\n"));
  }

  std::optional<uint32_t> shown_time() { return parse_shown_time(text_of("lblTime")); }

  // Plays the disk from its start until the pictures shown have moved on
  // by `seconds` of recording and the given cells show played pictures.
  bool play_for(int seconds, const std::vector<int>& cells) {
    if (!search_disk_at(2026, 12, 7, 9, 0, 0)) return false;
    const uint32_t start = rec(2026, 12, 7, 9, 0, 0);
    return wait_for(
        [&] {
          for (int c : cells) {
            const QString played = QString::fromStdString(home_.file("bmp" + std::to_string(c + 1) + ".bmp"));
            if (find<PictureBox>(("Image1_" + std::to_string(c)).c_str())->source() != played) return false;
          }
          const auto t = shown_time();
          return t && *t >= start + static_cast<uint32_t>(seconds);
        },
        60000);
  }

  QImage cell(int i) { return find<PictureBox>(("Image1_" + std::to_string(i)).c_str())->image(); }

  // Each listed cell shows the camera its position names, best and clearly.
  void expect_own_cameras(const Sources& sources, const std::vector<int>& cells) {
    std::vector<QImage> pictures;
    for (int c : cells) pictures.push_back(cell(c));
    expect_own_cameras(sources, cells, pictures);
  }
  // The same for pictures taken from those cells earlier.
  void expect_own_cameras(const Sources& sources, const std::vector<int>& cells, const std::vector<QImage>& taken) {
    for (size_t k = 0; k < cells.size(); ++k) {
      const int c = cells[k];
      const QImage& picture = taken[k];
      ASSERT_EQ(picture.size(), QSize(sources.width, sources.height)) << "cell " << c;
      const double own = sources.best(picture, static_cast<size_t>(c));
      EXPECT_GE(own, kMinMatchDb) << "cell " << c;
      double closest_other = 0;
      for (size_t other = 0; other < sources.cameras.size(); ++other) {
        if (other == static_cast<size_t>(c)) continue;
        closest_other = std::max(closest_other, sources.best(picture, other));
      }
      EXPECT_GE(own - closest_other, kMinMarginDb) << "cell " << c;
      std::printf("cell %d: own camera %.1f dB, closest other camera %.1f dB\n", c + 1, own, closest_other);
    }
  }
};

const std::vector<std::string> kQuarterClips = {"cam0_352x240.m4v", "cam1_352x240.m4v", "cam2_352x240.m4v",
                                                "cam3_352x240.m4v"};

TEST_F(DiskCameras, AQuadRecordingPlaysFourCamerasWithSoundWithHigh) {
  set_drive(1, recorder_disk("quad", 4));
  set_high(true);
  start_with_windows();
  EXPECT_TRUE(find<QCheckBox>("Check2")->isChecked());
  const std::vector<uint64_t> before = sound_sizes();
  ASSERT_TRUE(play_for(4, {0, 1, 2, 3}));
  screenshot(view_.get(), QStringLiteral("disk_quad_high"));
  // The pictures are compared once playback has stopped: the comparison is
  // slow on a busy machine, and the recording must still be playing when
  // one camera is enlarged.
  const std::vector<QImage> quad = {cell(0), cell(1), cell(2), cell(3)};

  // One camera enlarged: its cell alone, still that camera, still moving.
  click("Command8_2");
  EXPECT_EQ(view_->split_mode(), 2);
  const QImage before_single = cell(2);
  ASSERT_TRUE(wait_for([&] { return cell(2) != before_single; }, 30000));
  const QImage single = cell(2);

  // The recorded tone (440 Hz), not silence.
  ASSERT_TRUE(wait_for([&] { return listen(samples_since(before), 440).loud >= 8000; }, 30000));
  click("Command14_6");
  const Heard h = listen(samples_since(before), 440);
  EXPECT_GE(h.share, 0.3) << h.loud << " loud samples";
  std::printf("sound: %zu loud samples, %.2f of the energy at 440 Hz\n", h.loud, h.share);

  const Sources sources(kQuarterClips, 352, 240);
  expect_own_cameras(sources, {0, 1, 2, 3}, quad);
  expect_own_cameras(sources, {2}, {single});
}

TEST_F(DiskCameras, WithoutHighKeyPicturesOfEveryCameraPlaySilently) {
  set_drive(1, recorder_disk("quad_low", 4));
  set_high(false);
  start_with_windows();
  EXPECT_FALSE(find<QCheckBox>("Check2")->isChecked());
  const std::vector<uint64_t> before = sound_sizes();
  ASSERT_TRUE(play_for(3, {0, 1, 2, 3}));
  // The key pictures of the recording: still every camera in its cell.
  expect_own_cameras(Sources(kQuarterClips, 352, 240), {0, 1, 2, 3});
  const Heard h = listen(samples_since(before), 440);
  EXPECT_EQ(h.loud, 0u);
  click("Command14_6");
}

TEST_F(DiskCameras, ATwoCameraRecordingShowsEachCameraInItsCell) {
  // Camera 1 above, camera 2 below, each 704 x 240.
  set_drive(1, recorder_disk("two", 2));
  set_high(true);
  start_with_windows();
  ASSERT_TRUE(play_for(3, {0, 1}));
  expect_own_cameras(Sources({"cam0_704x240.m4v", "cam1_704x240.m4v"}, 704, 240), {0, 1});
  for (int c = 2; c < 4; ++c)
    EXPECT_EQ(find<PictureBox>(("Image1_" + std::to_string(c)).c_str())->source(), start_picture());
  click("Command14_6");
}

TEST_F(DiskCameras, ASingleCameraRecordingFillsTheFirstCellOnly) {
  set_drive(1, recorder_disk("single", 1));
  set_high(true);
  start_with_windows();
  ASSERT_TRUE(play_for(3, {0}));
  // The upper half of the camera's picture.
  EXPECT_EQ(cell(0).size(), QSize(704, 240));
  for (int c = 1; c < 4; ++c)
    EXPECT_EQ(find<PictureBox>(("Image1_" + std::to_string(c)).c_str())->source(), start_picture());
  click("Command14_6");
}

}  // namespace
