// The settings-file format: reading with the profile rules, and writing one
// key while everything else in the file stays as it was.
#include "profile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "testing.h"

namespace {

using velmora::testing::read_file;
using velmora::testing::TempDir;
using velmora::testing::write_file;
using velmora::viewer::Profile;
using velmora::viewer::TextEncoding;
using velmora::viewer::write_profile_string;

TEST(Profile, FindsSectionsAndKeysWithoutRegardToCaseOrBlanks) {
  const Profile p = Profile::parse(
      "; a comment line\n"
      "[No.01]\n"
      "  Name = Shop front  \n"
      "IP=192.168.0.10\n"
      "quoted=\"  spaced  \"\n"
      "single='x'\n"
      "[ zeb ]\n"
      "speed=1\n");
  EXPECT_EQ(p.get_string("no.01", "name", "-"), "Shop front");
  EXPECT_EQ(p.get_string("NO.01", "ip", "-"), "192.168.0.10");
  EXPECT_EQ(p.get_string("No.01", "quoted", "-"), "  spaced  ");
  EXPECT_EQ(p.get_string("No.01", "single", "-"), "x");
  EXPECT_EQ(p.get_string("ZEB", "SPEED", "-"), "1");
  // A key of another section is not seen.
  EXPECT_EQ(p.get_string("ZEB", "name", "-"), "-");
  EXPECT_EQ(p.get_string("No.02", "name", "-"), "-");
}

TEST(Profile, MissingKeysGiveTheDefaultAndEmptyValuesAreValues) {
  const Profile p = Profile::parse("[ZEB]\nempty=\nnoequals\n");
  EXPECT_TRUE(p.has_key("ZEB", "empty"));
  EXPECT_EQ(p.get_string("ZEB", "empty", "default"), "");
  EXPECT_FALSE(p.has_key("ZEB", "noequals"));
  EXPECT_EQ(p.get_string("ZEB", "missing", "default"), "default");
  EXPECT_EQ(p.get_int("ZEB", "missing", 3), 3);
  EXPECT_EQ(p.get_int("ZEB", "empty", 3), 0);
}

TEST(Profile, CutsValuesToTheCallersBufferAndAtNul) {
  const std::string long_value(300, 'a');
  std::string text = "[S]\nlong=" + long_value + "\nid=administrator1234\nnul=ab";
  text += '\0';
  text += "cd\n";
  const Profile p = Profile::parse(text);
  EXPECT_EQ(p.get_string("S", "long", "", 256), std::string(255, 'a'));
  EXPECT_EQ(p.get_string("S", "id", "", 16), "administrator12");
  EXPECT_EQ(p.get_string("S", "nul", "", 256), "ab");
  EXPECT_EQ(p.get_string("S", "missing", "eight   x", 5), "eigh");
  // Characters, not bytes: a Japanese value is cut between characters.
  const Profile j = Profile::parse("[S]\nname=カメラ入口\n");
  EXPECT_EQ(j.get_string("S", "name", "", 4), "カメラ");
}

TEST(Profile, ReadsIntegersAsTheirLeadingDecimalNumber) {
  const Profile p = Profile::parse("[S]\na=42\nb=-7\nc=12abc\nd=abc\ne=99999999999\n");
  EXPECT_EQ(p.get_int("S", "a", 0), 42);
  EXPECT_EQ(p.get_int("S", "b", 0), -7);
  EXPECT_EQ(p.get_int("S", "c", 0), 12);
  EXPECT_EQ(p.get_int("S", "d", 5), 0);
  EXPECT_EQ(p.get_int("S", "e", 0), INT32_MAX);
}

TEST(ProfileWrite, ChangesOnlyTheKeysLineAndAddsWhatIsMissing) {
  TempDir dir;
  const std::string path = dir.file("sn.ini");
  const std::string original =
      "; settings\r\n"
      "[ZEB]\r\n"
      "Speed = 0\r\n"
      "path=C:\\data\r\n"
      "\r\n"
      "[Other]\r\n"
      "x=1\r\n";
  ASSERT_TRUE(write_file(path, original));
  ASSERT_TRUE(write_profile_string(path, "zeb", "speed", "1"));
  EXPECT_EQ(read_file(path),
            "; settings\r\n"
            "[ZEB]\r\n"
            "Speed=1\r\n"
            "path=C:\\data\r\n"
            "\r\n"
            "[Other]\r\n"
            "x=1\r\n");
  // A new key goes after the section's last line, before the blank line.
  ASSERT_TRUE(write_profile_string(path, "ZEB", "PicSavePath", "/home/u/pics"));
  ASSERT_TRUE(write_profile_string(path, "New", "k", "v"));
  EXPECT_EQ(read_file(path),
            "; settings\r\n"
            "[ZEB]\r\n"
            "Speed=1\r\n"
            "path=C:\\data\r\n"
            "PicSavePath=/home/u/pics\r\n"
            "\r\n"
            "[Other]\r\n"
            "x=1\r\n"
            "\r\n"
            "[New]\r\n"
            "k=v\r\n");
}

TEST(ProfileWrite, CreatesAMissingFileAndReportsAnUnwritableOne) {
  TempDir dir;
  const std::string path = dir.file("sn.ini");
  ASSERT_TRUE(write_profile_string(path, "ZEB", "speed", "1"));
  EXPECT_EQ(read_file(path), "[ZEB]\nspeed=1\n");
  EXPECT_EQ(Profile::load(path).get_string("ZEB", "speed", ""), "1");
  EXPECT_FALSE(write_profile_string(dir.file("no/such/folder/sn.ini"), "ZEB", "speed", "1"));
}

TEST(ProfileWrite, KeepsTheLastLineWithoutItsLineEnd) {
  TempDir dir;
  const std::string path = dir.file("a.ini");
  ASSERT_TRUE(write_file(path, "[ZEB]\nspeed=0"));
  ASSERT_TRUE(write_profile_string(path, "ZEB", "speed", "1"));
  EXPECT_EQ(read_file(path), "[ZEB]\nspeed=1");
  ASSERT_TRUE(write_profile_string(path, "ZEB", "path", "x"));
  EXPECT_EQ(read_file(path), "[ZEB]\nspeed=1\npath=x\n");
}

TEST(ProfileWrite, AStrayCarriageReturnChangesNoNameWhenTheFileIsWrittenBack) {
  // The header's line ends in a carriage return of its own and no line end.
  // Writing a key ends that line; read again, it must still name the section
  // the key went to, and the other bytes stay as they were.
  TempDir dir;
  const std::string path = dir.file("a.ini");
  ASSERT_TRUE(write_file(path, "[\n[ZEB\t\r\r"));
  ASSERT_TRUE(write_profile_string(path, "ZEB", "speed", "1"));
  EXPECT_EQ(read_file(path), "[\n[ZEB\t\r\nspeed=1\n");
  EXPECT_EQ(Profile::load(path).get_string("ZEB", "speed", "-"), "1");
  ASSERT_TRUE(write_profile_string(path, "ZEB", "speed", "2"));
  EXPECT_EQ(Profile::load(path).get_string("zeb", "speed", "-"), "2");
  EXPECT_EQ(Profile::parse("[ZEB]\nspeed=3\r\r\n").get_string("ZEB", "speed", "-"), "3");
}

TEST(ProfileEncoding, ReadsCp932FilesAndWritesThemBackInCp932) {
  TempDir dir;
  const std::string path = dir.file("lansetting.ini");
  // "カメラ" in CP932, and a UTF-8 byte order mark elsewhere.
  const std::string cp932 = "[No.01]\r\nname=\x83\x4A\x83\x81\x83\x89\r\n";
  ASSERT_TRUE(write_file(path, cp932));
  Profile p = Profile::load(path);
  EXPECT_EQ(p.encoding(), TextEncoding::kCp932);
  EXPECT_EQ(p.get_string("No.01", "name", ""), "カメラ");
  ASSERT_TRUE(write_profile_string(path, "No.01", "01", "入口"));
  // 入口 in CP932 is 93 FC 8C FB.
  EXPECT_EQ(read_file(path), cp932 + "01=\x93\xFC\x8C\xFB\r\n");

  const Profile bom = Profile::parse("\xEF\xBB\xBF[No.01]\nname=カメラ\n");
  EXPECT_EQ(bom.encoding(), TextEncoding::kUtf8);
  EXPECT_EQ(bom.get_string("No.01", "name", ""), "カメラ");
}

TEST(ProfileEncoding, BytesOfNeitherEncodingAreReplacedNotDropped) {
  // 0x80 is no character in CP932; the line's other text survives.
  const Profile p = Profile::parse(std::string("[S]\nname=a\x80z\n", 13));
  EXPECT_EQ(p.get_string("S", "name", ""), "a\xEF\xBF\xBDz");
}

}  // namespace
