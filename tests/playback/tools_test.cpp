// velmora-disk export and play-copy, run as programs on an image.

#include <cstdio>

#include "picture_reference.h"
#include "playback_fixture.h"

namespace pbtest {
namespace {

using Output = velmora::testing::CommandOutput;
using velmora::testing::run_command;

std::string disk_tool() { return velmora::testing::build_dir() + "/bin/velmora-disk"; }

class ToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    zebdisk::DiskSpec spec = two_runs();
    spec.clips = {velmora::testing::clips_dir() + "/cam0_704x480.m4v"};
    std::string error;
    image_ = dir_.file("disk.img");
    ASSERT_TRUE(zebdisk::write_disk(spec, image_, &manifest_, &error)) << error;
  }

  velmora::testing::TempDir dir_;
  std::string image_;
  zebdisk::Manifest manifest_;
};

TEST_F(ToolsTest, ExportCopiesASpanAndPlayCopyWritesItsPictures) {
  const std::string dest = dir_.file("out");
  const Output exported = run_command(disk_tool() + " export " + image_ +
                                      " --from \"2024/05/01 10:00:03\" --to \"2024/05/01 10:00:06\" " + dest);
  ASSERT_EQ(exported.status, 0) << exported.text;
  EXPECT_NE(exported.text.find("copied 2024/05/01 10:00:03 - 2024/05/01 10:00:06"), std::string::npos) << exported.text;
  const auto gops = copied_gops(manifest_, T(2024, 5, 1, 10, 0, 3), T(2024, 5, 1, 10, 0, 6));
  ASSERT_EQ(gops.size(), 4u);
  EXPECT_TRUE(file_bytes(dest + "/ZEB.dat") == concat(gops));
  EXPECT_EQ(file_bytes(dest + "/.index").size(), 4u * 24);

  const std::string bmp = dir_.file("pictures");
  const Output played = run_command(disk_tool() + " play-copy " + dest + " --bmp " + bmp);
  ASSERT_EQ(played.status, 0) << played.text;
  EXPECT_NE(played.text.find("4 GOPs, 8 pictures written"), std::string::npos) << played.text;
  // The first picture of the copy is the intra picture its GOP starts on.
  const Clip clip = load_clip("cam0_704x480", 704, 480);
  ASSERT_FALSE(clip.bgr.empty());
  const std::vector<size_t> intra = clip.intra();
  Bmp first;
  ASSERT_TRUE(read_bmp(bmp + "/ch00_000000.bmp", &first));
  ASSERT_EQ(first.width, 704);
  ASSERT_EQ(first.height, 480);
  EXPECT_GE(psnr(first, clip.bgr[intra[3 % intra.size()]], 704, 0, 0), 40.0);
  Bmp last;
  EXPECT_TRUE(read_bmp(bmp + "/ch00_000007.bmp", &last));
}

TEST_F(ToolsTest, ExportRefusesBadArgumentsAndReportsFailures) {
  EXPECT_EQ(run_command(disk_tool() + " export " + image_ + " --from \"2024/05/01\" --to \"2024/05/01 10:00:06\" " +
                        dir_.file("o"))
                .status,
            2);
  EXPECT_EQ(run_command(disk_tool() + " export " + image_ + " --from \"2024/05/01 10:00:06\"").status, 2);
  EXPECT_EQ(run_command(disk_tool() + " export " + image_ +
                        " --from \"2024/05/01 10:00:06\" --to \"2024/05/01 10:00:01\" " + dir_.file("o"))
                .status,
            2);
  // The destination is a file.
  ASSERT_TRUE(velmora::testing::write_file(dir_.file("plain"), "x"));
  const Output onto_file =
      run_command(disk_tool() + " export " + image_ + " --from \"2024/05/01 10:00:03\" --to \"2024/05/01 10:00:06\" " +
                  dir_.file("plain"));
  EXPECT_EQ(onto_file.status, 1);
  EXPECT_NE(onto_file.text.find("not a folder"), std::string::npos) << onto_file.text;
  // No copy in the folder.
  const Output nothing = run_command(disk_tool() + " play-copy " + dir_.path() + " --bmp " + dir_.file("p"));
  EXPECT_EQ(nothing.status, 1);
  EXPECT_NE(nothing.text.find("holds no copy"), std::string::npos) << nothing.text;
}

}  // namespace
}  // namespace pbtest
