// velmora-dl on a copied data file: its description, the split and the
// pictures of one channel.

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

TEST_F(Tool, RefusesBadArguments) {
  EXPECT_EQ(run_tool("").status, 2);
  EXPECT_EQ(run_tool("--channel 16 x.dat").status, 2);
  EXPECT_EQ(run_tool("--frobnicate x.dat").status, 2);
  EXPECT_EQ(run_tool("'" + out_.file("missing.dat") + "'").status, 1);
}

}  // namespace
