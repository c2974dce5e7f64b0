// The command-line programs: zeb-mkdisk writes an image from a description
// and prints its manifest; velmora-disk reads the image back.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "testing.h"

namespace {

using velmora::testing::TempDir;

using Output = velmora::testing::CommandOutput;
using velmora::testing::run_command;

std::string bin(const std::string& name) { return velmora::testing::build_dir() + "/bin/" + name; }

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

const char* kDescription =
    "# two cameras, a clock set back, an alarm\n"
    "cameras 2\nlayout per_camera\n"
    "generations 3 4 5\n"
    "list_start 999\n"
    "run 2024/05/01 10:00:00 2024/05/01 10:00:09\n"
    "attribute 1\n"
    "run 2024/05/01 09:59:00 2024/05/01 09:59:05 kind 2\n"
    "alarm 2024/05/01 09:59:01 2024/05/01 09:59:03\n";

TEST(Tools, MkdiskWritesASparseImageAndItsManifest) {
  TempDir dir;
  ASSERT_TRUE(velmora::testing::write_file(dir.file("disk.txt"), kDescription));
  const Output made = run_command(bin("zeb-mkdisk") + " " + dir.file("disk.txt") + " " + dir.file("disk.img"));
  ASSERT_EQ(made.status, 0) << made.text;
  EXPECT_TRUE(has(made.text, "generations 3 4 5"));
  EXPECT_TRUE(has(made.text, "run 0 list 999 attribute 0 kind 0 continued 0 start \"2024/05/01 10:00:00\""));
  EXPECT_TRUE(has(made.text, "run 1 list 0 attribute 1 kind 2"));
  EXPECT_TRUE(has(made.text, "alarm 0 start \"2024/05/01 09:59:01\""));
  EXPECT_TRUE(has(made.text, "    frame 0 video camera 0"));
  struct stat st;
  ASSERT_EQ(::stat(dir.file("disk.img").c_str(), &st), 0);
  EXPECT_GT(st.st_size, 3000ll * 255 * 63 * 512);
  EXPECT_LT(st.st_blocks * 512, 4 << 20);  // sparse: little is written

  const Output bad = run_command("echo 'run tomorrow' | " + bin("zeb-mkdisk") + " - " + dir.file("x.img"));
  EXPECT_EQ(bad.status, 1);
  EXPECT_TRUE(has(bad.text, "line 1")) << bad.text;
  const Output help = run_command(bin("zeb-mkdisk") + " --help");
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(has(help.text, "damage random SEED COUNT"));
}

TEST(Tools, VelmoraDiskListsAndPlaysAnImage) {
  TempDir dir;
  ASSERT_TRUE(velmora::testing::write_file(dir.file("disk.txt"), kDescription));
  ASSERT_EQ(run_command(bin("zeb-mkdisk") + " --quiet " + dir.file("disk.txt") + " " + dir.file("disk.img")).status, 0);

  const Output summary = run_command(bin("velmora-disk") + " " + dir.file("disk.img"));
  ASSERT_EQ(summary.status, 0) << summary.text;
  EXPECT_TRUE(has(summary.text, "volume generation: 5 (copies read in the order 2, 1, 0)")) << summary.text;
  EXPECT_TRUE(has(summary.text, "time range: 2024/05/01 10:00:00 - 2024/05/01 09:59:05"));
  EXPECT_TRUE(has(summary.text, "recordings: 2 (oldest entry 999)"));
  EXPECT_TRUE(has(summary.text, "[999] 2024/05/01 10:00:00 - 2024/05/01 10:00:09  kind 0"));
  EXPECT_TRUE(has(summary.text, "[  0] 2024/05/01 09:59:00 - 2024/05/01 09:59:05  kind 2"));
  EXPECT_TRUE(has(summary.text, "[ 0] 2024/05/01 09:59:01 - 2024/05/01 09:59:03"));
  // The library's own diagnostics stay out of the tool's output.
  EXPECT_FALSE(has(summary.text, "Cylinders")) << summary.text;

  const Output frames =
      run_command(bin("velmora-disk") + " frames " + dir.file("disk.img") + " --at \"2024/05/01 10:00:07\" --count 5");
  ASSERT_EQ(frames.status, 0) << frames.text;
  EXPECT_TRUE(has(frames.text, "positioned at 2024/05/01 10:00:07"));
  EXPECT_TRUE(has(frames.text, "GOP 2024/05/01 10:00:07"));
  EXPECT_TRUE(has(frames.text, "video camera  1  2024/05/01 10:00:07 UTC"));
  size_t lines = 0;
  for (size_t p = 0; (p = frames.text.find(" UTC ", p)) != std::string::npos; ++p) ++lines;
  EXPECT_EQ(lines, 5u);

  const Output late = run_command(bin("velmora-disk") + " frames " + dir.file("disk.img") +
                                  " --at \"2025/01/01 00:00:00\" --count 100");
  ASSERT_EQ(late.status, 0);
  EXPECT_TRUE(has(late.text, "no recording at 2025/01/01 00:00:00"));
  EXPECT_TRUE(has(late.text, "GOP 2024/05/01 09:59:05"));
  EXPECT_TRUE(has(late.text, "end of the recordings"));
}

TEST(Tools, VelmoraDiskRefusesWhatIsNoRecorderDisk) {
  TempDir dir;
  ASSERT_TRUE(velmora::testing::write_file(dir.file("plain.bin"), std::string(4096, 'x')));
  const Output plain = run_command(bin("velmora-disk") + " " + dir.file("plain.bin"));
  EXPECT_EQ(plain.status, 1);
  EXPECT_TRUE(has(plain.text, "is not a recorder disk")) << plain.text;
  const Output forced = run_command(bin("velmora-disk") + " --force " + dir.file("plain.bin"));
  EXPECT_EQ(forced.status, 0) << forced.text;
  EXPECT_TRUE(has(forced.text, "recordings: 0"));
  const Output folder = run_command(bin("velmora-disk") + " " + dir.path());
  EXPECT_EQ(folder.status, 1);
  EXPECT_TRUE(has(folder.text, "neither a disk nor a disk image"));
  const Output missing = run_command(bin("velmora-disk") + " " + dir.file("missing.img"));
  EXPECT_EQ(missing.status, 1);
  EXPECT_TRUE(has(missing.text, "cannot open"));
  EXPECT_EQ(run_command(bin("velmora-disk") + " frames " + dir.file("plain.bin") + " --at yesterday").status, 2);
  EXPECT_EQ(run_command(bin("velmora-disk")).status, 2);
}

}  // namespace
