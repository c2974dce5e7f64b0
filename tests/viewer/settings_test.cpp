// The recorder list of "lansetting.ini", the viewer's "sn.ini" and the
// resolution of a recorder's host text.
#include "settings.h"

#include <gtest/gtest.h>

#include "testing.h"

namespace {

using namespace velmora::viewer;
using velmora::testing::TempDir;
using velmora::testing::write_file;

TEST(ConnectionList, ListsNamedEntriesByTheirNumberAndSkipsTheRest) {
  const ConnectionList list =
      ConnectionList::read(Profile::parse("[No.01]\nname=Shop\nip=192.168.0.10\n"
                                          "[No.02]\nip=192.168.0.11\n"  // no name: not listed
                                          "[No.03]\nname=\nip=192.168.0.12\n"
                                          "[No.07]\nname=倉庫\n"
                                          "[No.100]\nname=Hundred\n"
                                          "[No.200]\nname=Last\n"));
  const std::vector<std::string> expected = {" 1:Shop", " 7:倉庫", " 100:Hundred", " 200:Last"};
  EXPECT_EQ(list.lines(), expected);
  // The number before the colon, not the line's position, picks the entry.
  const RecorderEntry* e = list.entry(recorder_number_from_line(" 7:倉庫"));
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->number, 7);
  EXPECT_EQ(e->name, "倉庫");
  EXPECT_EQ(list.entry(recorder_number_from_line(" 200:Last"))->name, "Last");
  EXPECT_EQ(list.entry(2)->host, "192.168.0.11");
  EXPECT_EQ(list.entry(0), nullptr);
  EXPECT_EQ(list.entry(201), nullptr);
  EXPECT_EQ(recorder_number_from_line("Shop"), 0);
  EXPECT_EQ(recorder_number_from_line(" 201:x"), 0);
}

TEST(ConnectionList, MissingKeysTakeTheirDefaults) {
  const ConnectionList list = ConnectionList::read(Profile::parse("[No.01]\nname=Shop\n02=  \n03=入口\n"));
  const RecorderEntry& e = *list.entry(1);
  EXPECT_EQ(e.host, "");
  EXPECT_EQ(e.login, std::string(16, ' '));
  EXPECT_EQ(e.sp, 1);
  EXPECT_EQ(e.audio, 3);
  EXPECT_EQ(e.packet_size, 0);
  EXPECT_EQ(e.camera_names[0], "カメラ01");
  EXPECT_EQ(e.camera_names[1], "カメラ02");  // blanks only: the default
  EXPECT_EQ(e.camera_names[2], "入口");
  EXPECT_EQ(e.camera_names[15], "カメラ16");
}

TEST(ConnectionList, LoginStringIsIdAndPasswordInEightCharactersEach) {
  const ConnectionList list =
      ConnectionList::read(Profile::parse("[No.01]\nname=a\nid=administrator\npass=pw\n"
                                          "[No.02]\nname=b\nid=user\npass=12345678\n"
                                          "[No.03]\nname=c\nid=\npass=\n"));
  EXPECT_EQ(list.entry(1)->login, "administpw      ");
  EXPECT_EQ(list.entry(2)->login, "user    12345678");
  EXPECT_EQ(list.entry(3)->login, std::string(16, ' '));
  for (int n = 1; n <= 3; ++n) EXPECT_EQ(list.entry(n)->login.size(), 16u);
}

struct PacketCase {
  const char* text;
  int32_t expected;
};
class PacketSize : public ::testing::TestWithParam<PacketCase> {};

TEST_P(PacketSize, OnlyValuesFrom5000To65000AreKept) {
  const std::string ini = std::string("[No.01]\nname=a\nPacket=") + GetParam().text + "\n";
  EXPECT_EQ(ConnectionList::read(Profile::parse(ini)).entry(1)->packet_size, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Bounds, PacketSize,
                         ::testing::Values(PacketCase{"4999", 0}, PacketCase{"5000", 5000}, PacketCase{"65000", 65000},
                                           PacketCase{"65001", 0}, PacketCase{"8000bytes", 8000},
                                           PacketCase{"large", 0}, PacketCase{"-6000", 0},
                                           PacketCase{"99999999999", 0}));

TEST(ConnectionList, ReadsSpAndAudioAsIntegers) {
  const ConnectionList list = ConnectionList::read(Profile::parse("[No.05]\nname=a\nsp=2\naudio=0\n"));
  EXPECT_EQ(list.entry(5)->sp, 2);
  EXPECT_EQ(list.entry(5)->audio, 0);
}

TEST(ViewerSettings, ReadsOnlyValuesWithCharactersAndWritesInPlace) {
  TempDir dir;
  const std::string path = dir.file("sn.ini");
  ASSERT_TRUE(write_file(path, "[ZEB]\nspeed=\nPicSavePath=/tmp/p\n"));
  const ViewerSettings sn(path);
  EXPECT_FALSE(sn.read("speed").has_value());
  EXPECT_FALSE(sn.read("r_drive").has_value());
  EXPECT_EQ(sn.read("PicSavePath").value_or(""), "/tmp/p");
  ASSERT_TRUE(sn.write("speed", "1"));
  EXPECT_EQ(sn.read("speed").value_or(""), "1");
  EXPECT_EQ(sn.read("PicSavePath").value_or(""), "/tmp/p");
}

class HostResolution : public ::testing::Test {
 protected:
  NameLookup counting(std::optional<std::string> answer) {
    return [this, answer](const std::string& name) {
      looked_up.push_back(name);
      return answer;
    };
  }
  std::function<void(int)> waits() {
    return [this](int ms) { waited.push_back(ms); };
  }
  std::vector<std::string> looked_up;
  std::vector<int> waited;
};

TEST_F(HostResolution, AnAddressWithFourNonZeroPartsIsUsedWithoutALookup) {
  const HostAddress a = resolve_host(" 192.168.0.10 ", counting("10.9.9.9"), waits());
  EXPECT_EQ(a.text, "192.168.0.10");
  EXPECT_EQ(a.octets, (std::array<int32_t, 4>{192, 168, 0, 10}));
  EXPECT_TRUE(looked_up.empty());
}

TEST_F(HostResolution, AnAddressWithAZeroPartIsLookedUpByName) {
  const HostAddress a = resolve_host("10.0.0.0", counting("10.1.2.3"), waits());
  EXPECT_EQ(looked_up, std::vector<std::string>{"10.0.0.0"});
  EXPECT_EQ(a.text, "10.1.2.3");
  EXPECT_EQ(a.octets, (std::array<int32_t, 4>{10, 1, 2, 3}));
}

TEST_F(HostResolution, ANameThatCannotBeFoundIsTriedThreeTimesThenUsedAsItIs) {
  const HostAddress a = resolve_host(" recorder-7 ", counting(std::nullopt), waits());
  EXPECT_EQ(looked_up.size(), 3u);
  EXPECT_EQ(waited, (std::vector<int>{3000, 3000}));
  EXPECT_EQ(a.text, "recorder-7");
  EXPECT_EQ(a.octets, (std::array<int32_t, 4>{0, 0, 0, 0}));
}

TEST_F(HostResolution, TheSystemResolverFindsLocalhost) {
  const HostAddress a = resolve_host("localhost", system_name_lookup, waits());
  EXPECT_EQ(a.text, "127.0.0.1");
  EXPECT_EQ(a.octets, (std::array<int32_t, 4>{127, 0, 0, 1}));
}

TEST_F(HostResolution, AZeroInTheLastPartIsLookedUp) {
  resolve_host("192.168.1.0", counting("192.168.1.0"), waits());
  EXPECT_EQ(looked_up.size(), 1u);
}

TEST(DottedFields, EachFieldIsItsLeadingWholeNumber) {
  EXPECT_EQ(dotted_fields("192.168.1x.7"), (std::array<int32_t, 4>{192, 168, 1, 7}));
  EXPECT_EQ(dotted_fields("192.168.0.10"), (std::array<int32_t, 4>{192, 168, 0, 10}));
  EXPECT_EQ(dotted_fields("127.89.57.1"), (std::array<int32_t, 4>{127, 89, 57, 1}));
  EXPECT_EQ(dotted_fields("1.2"), (std::array<int32_t, 4>{1, 2, 0, 0}));
  EXPECT_EQ(dotted_fields(""), (std::array<int32_t, 4>{0, 0, 0, 0}));
  EXPECT_EQ(dotted_fields("1.2.3.4.5"), (std::array<int32_t, 4>{1, 2, 3, 4}));
}

}  // namespace
