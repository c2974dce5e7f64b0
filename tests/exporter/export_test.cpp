// The evidence export, run as a user runs it (velmora-disk) on disk images
// written by the image writer, and checked with ffmpeg and ffprobe: the
// packets must be the recorded pictures byte for byte, at their recorded
// times, with the gaps, chapters and clock cues, whatever the source.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "disk_specs.h"
#include "testing.h"
#include "zebdisk/disk_image.h"

namespace {

using velmora::testing::read_file;
using velmora::testing::run;
using velmora::testing::run_command;
using velmora::testing::T;
using velmora::testing::TempDir;

std::string bin(const std::string& name) { return velmora::testing::build_dir() + "/bin/" + name; }

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) out.push_back(line);
  return out;
}

// What the image writer recorded between two times: the video payloads in
// order (the elementary stream a player must get) and each picture's second.
struct Recorded {
  std::string stream;
  std::vector<int32_t> seconds;
  std::string alaw;  // the sound's A-law samples (each frame's 8-byte prefix left out)
};

Recorded recorded(const zebdisk::Manifest& m, const zebdisk::RecTime& from, const zebdisk::RecTime& to,
                  const zebdisk::GopInfo* skip = nullptr, int camera = 0) {
  Recorded r;
  for (const auto& record : m.records) {
    for (const auto& gop : record.gops) {
      if (&gop == skip || vp::compare_rec_time(gop.time, from) < 0 || vp::compare_rec_time(gop.time, to) > 0) continue;
      size_t at = 0;
      for (const auto& f : gop.frames) {
        if (f.video && f.camera != camera) {
          // another camera's picture
        } else if (f.video) {
          r.stream.append(reinterpret_cast<const char*>(gop.frame_bytes.data()) + at + 48, f.payload_bytes);
          r.seconds.push_back(f.time);
        } else if (f.payload_bytes > 8) {
          r.alaw.append(reinterpret_cast<const char*>(gop.frame_bytes.data()) + at + 48 + 8, f.payload_bytes - 8);
        }
        at += 48 + f.payload_bytes;
      }
    }
  }
  return r;
}

// The video packets of a file (of its track-th video track) exactly as its
// container holds them.
std::string packets_of(const std::string& file, const TempDir& dir, int track = 0) {
  const std::string out = dir.file("packets.bin");
  const auto r = run_command("ffmpeg -v error -y -i '" + file + "' -map 0:v:" + std::to_string(track) +
                             " -c copy -f data '" + out + "'");
  EXPECT_EQ(r.status, 0) << r.text;
  return read_file(out);
}

// ffprobe's value lines for one stream kind and field, e.g. ("v",
// "packet=pts_time").
std::vector<std::string> probe(const std::string& file, const std::string& stream, const std::string& entries) {
  const auto r = run_command("ffprobe -v error -select_streams " + stream + " -show_entries " + entries +
                             " -of csv=p=0 '" + file + "' 2>&1");
  EXPECT_EQ(r.status, 0) << r.text;
  return lines_of(r.text);
}

std::string only_file(const std::string& folder, const std::string& ext) {
  const auto r = run_command("ls '" + folder + "'/*." + ext);
  const auto files = lines_of(r.text);
  EXPECT_EQ(files.size(), 1u) << r.text;
  return files.empty() ? "" : files[0];
}

class Export : public ::testing::Test {
 protected:
  // Two runs an hour apart with an alarm in the second, one camera recorded
  // from the build's clip, five pictures and a second of sound a GOP.
  void write_image(std::vector<std::pair<int, int>> lost_chunks = {}) {
    zebdisk::DiskSpec s = velmora::testing::small_spec();
    s.clips_folder = velmora::testing::clips_dir();
    s.pictures_per_gop = 5;
    s.audio_per_gop = 50;
    s.runs.push_back(run(T(2024, 5, 1, 10, 0, 0), T(2024, 5, 1, 10, 0, 7)));
    s.runs.push_back(run(T(2024, 5, 1, 11, 0, 0), T(2024, 5, 1, 11, 0, 5)));
    s.runs[1].lost_chunks = lost_chunks;
    s.alarms.push_back(zebdisk::AlarmSpec{T(2024, 5, 1, 11, 0, 2), T(2024, 5, 1, 11, 0, 3)});
    std::string error;
    ASSERT_TRUE(zebdisk::write_disk(s, image_, &manifest_, &error)) << error;
  }

  std::string export_disk(const std::string& format, const std::string& folder) {
    const auto r = run_command(bin("velmora-disk") + " export '" + image_ +
                               "' --from '2024/05/01 09:00:00' --to '2024/05/01 11:00:04' --format " + format + " '" +
                               folder + "'");
    EXPECT_EQ(r.status, 0) << r.text;
    return only_file(folder, format);
  }

  TempDir dir_;
  std::string image_ = dir_.file("disk.img");
  zebdisk::Manifest manifest_;
  const zebdisk::RecTime from_ = T(2024, 5, 1, 10, 0, 0), to_ = T(2024, 5, 1, 11, 0, 4);
};

TEST_F(Export, ADiskSpanPlaysAnywhereAtItsRecordedTimes) {
  write_image();
  const Recorded want = recorded(manifest_, from_, to_);
  ASSERT_EQ(want.seconds.size(), (8u + 5u) * 5u);
  for (const std::string format : {"mkv", "mp4"}) {
    SCOPED_TRACE(format);
    const std::string file = export_disk(format, dir_.file(format));
    EXPECT_NE(file.find("ZEB_cam01_2024-05-01T10-00-00." + format), std::string::npos) << file;

    // Byte for byte the recorded pictures, and ffmpeg decodes the file as
    // it decodes the recorded stream.
    EXPECT_TRUE(packets_of(file, dir_) == want.stream);
    ASSERT_TRUE(velmora::testing::write_file(dir_.file("recorded.m4v"), want.stream));
    const auto ours =
        run_command("ffmpeg -v error -i '" + file + "' -map 0:v -f framemd5 - | grep -v '^#' | cut -d, -f6");
    const auto theirs = run_command("ffmpeg -v error -f m4v -i '" + dir_.file("recorded.m4v") +
                                    "' -f framemd5 - | grep -v '^#' | cut -d, -f6");
    EXPECT_EQ(lines_of(ours.text).size(), want.seconds.size());
    EXPECT_EQ(ours.text, theirs.text);

    // Each second's first picture at its second from the file's start:
    // the hour between the runs stays an hour.
    const auto pts = probe(file, "v", "packet=pts_time");
    ASSERT_EQ(pts.size(), want.seconds.size());
    for (size_t i = 0; i < pts.size(); ++i) {
      if (i > 0 && want.seconds[i] == want.seconds[i - 1]) continue;
      EXPECT_DOUBLE_EQ(std::stod(pts[i]), want.seconds[i] - want.seconds[0]) << "picture " << i;
    }
    EXPECT_DOUBLE_EQ(std::stod(pts[40]), 3600.0);

    // MP4 keeps a chapter's start alone (each ends where the next begins).
    const bool ends = std::string(format) == "mkv";
    const auto chapters =
        probe(file, "v", std::string("chapter=start_time") + (ends ? ",end_time" : "") + ":chapter_tags=title");
    ASSERT_EQ(chapters.size(), 3u);
    EXPECT_EQ(chapters[0], ends ? "0.000000,8.000000,Recording 1" : "0.000000,Recording 1");
    EXPECT_EQ(chapters[1], ends ? "3600.000000,3605.000000,Recording 2" : "3600.000000,Recording 2");
    EXPECT_EQ(chapters[2], ends ? "3602.000000,3604.000000,Alarm 1" : "3602.000000,Alarm 1");
  }
  // The sound as 16-bit PCM (in MP4 compressed without loss): what
  // ffmpeg's own A-law decoder makes of the recorded samples, the second
  // run's from its first second on.
  const std::string mkv = only_file(dir_.file("mkv"), "mkv");
  ASSERT_TRUE(velmora::testing::write_file(dir_.file("recorded.alaw"), want.alaw));
  const auto ref = run_command("ffmpeg -v error -f alaw -ar 8000 -ac 1 -i '" + dir_.file("recorded.alaw") +
                               "' -f s16le - | sha256sum");
  for (const std::string& file : {mkv, only_file(dir_.file("mp4"), "mp4")}) {
    const auto pcm = run_command("ffmpeg -v error -i '" + file + "' -map 0:a -f s16le - | sha256sum");
    EXPECT_EQ(pcm.text, ref.text) << file;
  }
  const auto mp4_sound = probe(only_file(dir_.file("mp4"), "mp4"), "a", "stream=codec_name");
  EXPECT_EQ(mp4_sound, std::vector<std::string>{"alac"});
  // Each run's sound starts at its run's time (a new stretch after the hour
  // without recording).
  const auto mp4_sound_pts = probe(only_file(dir_.file("mp4"), "mp4"), "a", "packet=pts_time");
  ASSERT_FALSE(mp4_sound_pts.empty());
  EXPECT_DOUBLE_EQ(std::stod(mp4_sound_pts.front()), 0.0);
  EXPECT_NE(std::find(mp4_sound_pts.begin(), mp4_sound_pts.end(), "3600.000000"), mp4_sound_pts.end());
  EXPECT_EQ(want.alaw.size(), 13u * 8000);  // a second of sound a GOP
  const auto sound_pts = probe(mkv, "a", "packet=pts_time");
  ASSERT_EQ(sound_pts.size(), 13u * 50);
  EXPECT_DOUBLE_EQ(std::stod(sound_pts[8 * 50]), 3600.0);

  // The clock as subtitles: one cue a second with a picture.
  const auto srt = run_command("ffmpeg -v error -i '" + only_file(dir_.file("mkv"), "mkv") + "' -map 0:s -f srt -");
  EXPECT_NE(srt.text.find("00:00:00,000 --> 00:00:01,000\n2024/05/01 10:00:00\n"), std::string::npos) << srt.text;
  EXPECT_NE(srt.text.find("01:00:04,000 --> 01:00:05,000\n2024/05/01 11:00:04\n"), std::string::npos);
  EXPECT_EQ(srt.text.find("2024/05/01 10:00:08"), std::string::npos);
}

TEST_F(Export, ACopyFolderAndItsCustodyRecordHoldTheSamePictures) {
  write_image();
  // The recorder's copy first, then that copy as a video file.
  const auto copied =
      run_command(bin("velmora-disk") + " export '" + image_ +
                  "' --from '2024/05/01 10:00:00' --to '2024/05/01 11:00:04' '" + dir_.file("copy") + "'");
  ASSERT_EQ(copied.status, 0) << copied.text;
  const auto r = run_command(bin("velmora-disk") + " play-copy '" + dir_.file("copy") + "' --format mkv '" +
                             dir_.file("video") + "'");
  ASSERT_EQ(r.status, 0) << r.text;
  const std::string file = only_file(dir_.file("video"), "mkv");
  EXPECT_TRUE(packets_of(file, dir_) == recorded(manifest_, from_, to_).stream);

  // The record names the file by the hash sha256sum gives it.
  const std::string record = read_file(file + ".json");
  const auto sum = run_command("sha256sum '" + file + "' | cut -c1-64");
  ASSERT_EQ(sum.text.size(), 65u);
  EXPECT_NE(record.find("\"sha256\": \"" + sum.text.substr(0, 64) + "\""), std::string::npos) << record;
  EXPECT_NE(record.find("\"gaps\": [{\"after\": \"2024/05/01 10:00:07\", \"before\": \"2024/05/01 11:00:00\"}]"),
            std::string::npos);
  EXPECT_NE(read_file(file + ".txt").find("GOPs read: 13, left out: 0"), std::string::npos);

  // velmora-verify finds the file and the copy's GOPs as recorded, until
  // one byte of the file changes.
  const auto verified = run_command(bin("velmora-verify") + " '" + file + ".json'");
  EXPECT_EQ(verified.status, 0) << verified.text;
  EXPECT_NE(verified.text.find("source: 13 of 13 GOPs match\nEverything matches.\n"), std::string::npos)
      << verified.text;
  std::string bytes = read_file(file);
  bytes[bytes.size() / 2] ^= 1;
  ASSERT_TRUE(velmora::testing::write_file(file, bytes));
  const auto changed = run_command(bin("velmora-verify") + " '" + file + ".json'");
  EXPECT_EQ(changed.status, 1) << changed.text;
  EXPECT_NE(changed.text.find(": DOES NOT MATCH - recorded " + sum.text.substr(0, 64)), std::string::npos)
      << changed.text;
}

TEST_F(Export, ADamagedGopIsLeftOutAndListedAndTheRestExported) {
  write_image({{0, 1}});  // the second run's second GOP cannot be read
  const zebdisk::GopInfo* lost = &manifest_.records[manifest_.runs[1].first_record_info].gops[1];
  ASSERT_FALSE(lost->readable);
  const std::string file = export_disk("mkv", dir_.file("mkv"));
  EXPECT_TRUE(packets_of(file, dir_) == recorded(manifest_, from_, to_, lost).stream);
  const std::string record = read_file(file + ".json");
  EXPECT_NE(record.find("{\"time\": \"2024/05/01 11:00:01\", \"bytes\": 0, \"sha256\": "), std::string::npos) << record;
  EXPECT_NE(record.find("\"left_out\": true, \"reason\": \"the source could not read it whole\""), std::string::npos);
}

TEST_F(Export, EveryCameraCanBeATrackOfOneFile) {
  zebdisk::DiskSpec s = velmora::testing::small_spec();
  s.clips_folder = velmora::testing::clips_dir();
  s.cameras = 2;
  s.per_camera_streams = true;
  s.pictures_per_gop = 5;
  s.runs.push_back(run(from_, T(2024, 5, 1, 10, 0, 5)));
  std::string error;
  ASSERT_TRUE(zebdisk::write_disk(s, image_, &manifest_, &error)) << error;
  const auto r = run_command(bin("velmora-disk") + " export '" + image_ +
                             "' --from '2024/05/01 10:00:00' --to '2024/05/01 10:00:05' --format mkv --one-file '" +
                             dir_.file("one") + "'");
  ASSERT_EQ(r.status, 0) << r.text;
  const std::string file = only_file(dir_.file("one"), "mkv");
  EXPECT_NE(file.find("ZEB_cameras_2024-05-01T10-00-00.mkv"), std::string::npos) << file;
  for (int camera = 0; camera < 2; ++camera) {
    SCOPED_TRACE(camera);
    const Recorded want = recorded(manifest_, from_, T(2024, 5, 1, 10, 0, 5), nullptr, camera);
    ASSERT_EQ(want.seconds.size(), 30u);
    EXPECT_TRUE(packets_of(file, dir_, camera) == want.stream);
  }
  EXPECT_EQ(probe(file, "s", "stream=index").size(), 1u);  // the clock once
  EXPECT_EQ(run_command(bin("velmora-verify") + " '" + file + ".json'").status, 0);
}

}  // namespace
