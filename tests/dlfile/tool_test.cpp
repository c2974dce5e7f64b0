// velmora-dl on a copied data file: its description, the split and the
// pictures of one channel.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "../decode/forged_stream.h"
#include "dl_fixture.h"

namespace {

using velmora::testing::file_exists;
using velmora::testing::TempDir;

using Output = velmora::testing::CommandOutput;

Output run_tool(const std::string& args) {
  return velmora::testing::run_command(velmora::testing::build_dir() + "/bin/velmora-dl " + args);
}

class Tool : public ::testing::Test {
 protected:
  void SetUp() override {
    dl_test::CopyServer server({}, 6);
    ASSERT_TRUE(server.ready());
    ASSERT_EQ(dl_test::run_copy(6, dir_.file("copy.dat"), dir_.path()).fast, 1);
  }
  TempDir dir_, out_;
};

TEST_F(Tool, DescribesChannelsTimesAndIndex) {
  const Output o = run_tool("'" + dir_.file("copy.dat") + "'");
  EXPECT_EQ(o.status, 0) << o.text;
  EXPECT_NE(o.text.find("data start: 292\n"), std::string::npos) << o.text;
  EXPECT_NE(o.text.find("pack header: clock reference 15\n"), std::string::npos) << o.text;
  for (int ch = 0; ch < 4; ++ch)
    EXPECT_NE(o.text.find("video  " + std::to_string(ch) + ": 60 packets, 0.000 s to 1.967 s"), std::string::npos)
        << o.text;
  EXPECT_NE(o.text.find("audio  0: 4 packets"), std::string::npos) << o.text;
  const size_t entries = dl_test::bytes_of(dir_.file(".index")).size() / 12;
  EXPECT_NE(o.text.find("index: " + std::to_string(entries) + " entries"), std::string::npos) << o.text;

  const Output elsewhere = run_tool("--index '" + out_.path() + "' '" + dir_.file("copy.dat") + "'");
  EXPECT_NE(elsewhere.text.find("index: none"), std::string::npos) << elsewhere.text;
}

TEST_F(Tool, SplitsAndWritesPictures) {
  Output o = run_tool("--split '" + out_.file("split") + "' '" + dir_.file("copy.dat") + "'");
  EXPECT_EQ(o.status, 0) << o.text;
  EXPECT_TRUE(file_exists(out_.file("split/2_59.dat")));
  EXPECT_TRUE(file_exists(out_.file("split/wav1.wav")));

  o = run_tool("--bmp '" + out_.file("bmp") + "' --channel 3 '" + dir_.file("copy.dat") + "'");
  EXPECT_EQ(o.status, 0) << o.text;
  EXPECT_NE(o.text.find("60 pictures of channel 3"), std::string::npos) << o.text;
  dl_test::Bmp bmp;
  ASSERT_TRUE(dl_test::read_bmp(out_.file("bmp/3_59.bmp"), &bmp));
  EXPECT_EQ(bmp.width, 704);
  EXPECT_EQ(bmp.height, 472);
}

TEST_F(Tool, ExportsEachCameraAsAVideoFileThatPlaysAnywhere) {
  const Output o =
      run_tool("export '" + dir_.file("copy.dat") + "' --day 2026/12/07 --format mkv '" + out_.file("video") + "'");
  ASSERT_EQ(o.status, 0) << o.text;
  // What the recorder sent: per camera, its pictures' packets after their
  // headers, padding included, in order.
  dl_test::CopyServer server({}, 7);
  ASSERT_TRUE(server.ready());
  std::string sent[4];
  for (const zebsim::CopyPart& part : server.source().plan(dl_test::kSpan)) {
    if (part.video.size() < 100) continue;
    const int camera = part.video[10] >> 4;
    for (size_t at = 100; at + 6 <= part.video.size();) {
      const size_t padded = (part.video[at + 2] | (part.video[at + 3] << 8)) * 32u;
      const uint8_t* packet = part.video.data() + at + 6;
      sent[camera].append(reinterpret_cast<const char*>(packet) + zebsim::kPacketHeaderBytes,
                          padded - zebsim::kPacketHeaderBytes);
      at += 6 + padded;
    }
  }
  for (int ch = 0; ch < 4; ++ch) {
    SCOPED_TRACE(ch);
    const std::string file = out_.file("video/ZEB_cam0" + std::to_string(ch + 1) + "_2026-12-07T10-00-00.mkv");
    ASSERT_EQ(velmora::testing::run_command("ffmpeg -v quiet -y -i '" + file + "' -map 0:v -c copy -f data '" +
                                            out_.file("packets.bin") + "'")
                  .status,
              0);
    EXPECT_TRUE(velmora::testing::read_file(out_.file("packets.bin")) == sent[ch]);
    const Output pts = velmora::testing::run_command(
        "ffprobe -v error -select_streams v -show_entries packet=pts_time "
        "-of csv=p=0 '" +
        file + "'");
    EXPECT_EQ(std::count(pts.text.begin(), pts.text.end(), '\n'), 60) << pts.text;
    EXPECT_NE(pts.text.find("\n1.000000\n"), std::string::npos);  // 10:00:01, thirty pictures on
    // Audio channels 0 and 1 go with cameras 1 and 2: their four packets of
    // 4096 samples at the packets' own times.
    const Output sound = velmora::testing::run_command(
        "ffprobe -v error -select_streams a -show_entries packet=pts_time,duration_time -of csv=p=0 '" + file + "'");
    EXPECT_EQ(sound.text, ch < 2 ? "0.000000,0.512000\n0.512000,0.512000\n1.024000,0.512000\n1.536000,0.512000\n" : "")
        << sound.text;
    // The two seconds of pictures are one recording run, its chapter.
    const Output chapters = velmora::testing::run_command(
        "ffprobe -v error -show_entries chapter=start_time,end_time:chapter_tags=title -of csv=p=0 '" + file + "'");
    EXPECT_EQ(chapters.text, "0.000000,2.000000,Recording 1\n") << chapters.text;
  }
  const Output verified =
      velmora::testing::run_command(velmora::testing::build_dir() + "/bin/velmora-verify '" +
                                    out_.file("video/ZEB_cam01_2026-12-07T10-00-00.mkv.json") + "'");
  EXPECT_EQ(verified.status, 0) << verified.text;
  EXPECT_NE(verified.text.find("source: 2 of 2 GOPs match"), std::string::npos) << verified.text;
}

TEST_F(Tool, RefusesBadArguments) {
  EXPECT_EQ(run_tool("").status, 2);
  EXPECT_EQ(run_tool("--channel 16 x.dat").status, 2);
  EXPECT_EQ(run_tool("--frobnicate x.dat").status, 2);
  EXPECT_EQ(run_tool("'" + out_.file("missing.dat") + "'").status, 1);
}

// Runs velmora-dl with its output into a file; the exit status and the
// program's peak resident memory in KB.
struct Peak {
  int status = -1;
  long max_rss_kb = 0;
  std::string text;
};
Peak run_measured(const std::vector<std::string>& args, const std::string& output) {
  Peak r;
  const std::string program = velmora::testing::build_dir() + "/bin/velmora-dl";
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      ::dup2(fd, 1);
      ::dup2(fd, 2);
    }
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  if (pid < 0) return r;
  int status = 0;
  rusage usage{};
  if (::wait4(pid, &status, 0, &usage) != pid) return r;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.max_rss_kb = usage.ru_maxrss;
  r.text = velmora::testing::read_file(output);
  return r;
}

// A few hundred bytes declaring 4095 x 4095 pictures: the pictures are
// refused with a message, and the program's memory stays that of a file of
// ordinary pictures.
TEST(ToolOnForgedFile, PicturesLargerThanARecorderSendsAreRefused) {
  TempDir dir;
  auto file_of = [&](const std::string& name, int width, int height) {
    std::vector<uint8_t> bytes;
    for (int i = 0; i < 4; ++i) {
      const auto pkt = forged::packet(0, width, height, 3000u * static_cast<unsigned>(i + 1));
      bytes.insert(bytes.end(), pkt.begin(), pkt.end());
    }
    EXPECT_TRUE(zebsim::write_binary_file(dir.file(name), bytes));
    return dir.file(name);
  };
  const std::string forged_file = file_of("forged.dat", 4095, 4095);
  const std::string ordinary_file = file_of("ordinary.dat", 352, 240);
  const Peak forged_run = run_measured({"--bmp", dir.file("bmp1"), forged_file}, dir.file("out1.txt"));
  const Peak ordinary_run = run_measured({"--bmp", dir.file("bmp2"), ordinary_file}, dir.file("out2.txt"));
  std::printf(
      "velmora-dl --bmp peak resident memory: %ld KB for a %zu-byte file declaring 4095 x 4095, "
      "%ld KB declaring 352 x 240\n",
      forged_run.max_rss_kb, dl_test::bytes_of(forged_file).size(), ordinary_run.max_rss_kb);
  EXPECT_EQ(forged_run.status, 1) << forged_run.text;
  EXPECT_NE(forged_run.text.find("4 packets refused: they declare 4095 x 4095"), std::string::npos) << forged_run.text;
  ASSERT_GT(ordinary_run.max_rss_kb, 0);
  EXPECT_LT(forged_run.max_rss_kb, ordinary_run.max_rss_kb + 20 * 1024);
}

}  // namespace
