// The debug log: off until switched on, one file per weekday, one line per
// entry in its fixed format.
#include "velmora/debuglog.h"

#include <cstdlib>
#include <ctime>
#include <sstream>

#include "sim_fixture.h"

namespace {

// "/* " with the day of month (one or two digits), "/hh:mm:ss */" and two
// spaces.
bool has_entry_prefix(const std::string& line) {
  auto digit = [&](size_t i) { return i < line.size() && line[i] >= '0' && line[i] <= '9'; };
  if (line.compare(0, 3, "/* ") != 0 || !digit(3)) return false;
  const size_t at = digit(4) ? 5 : 4;
  const std::string shape = "/00:00:00 */  ";
  if (line.size() < at + shape.size()) return false;
  for (size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == '0' ? !digit(at + i) : line[at + i] != shape[i]) return false;
  }
  return true;
}

using DebugLogTest = SimTest;

// Once switched on, the log stays on for the process, and the fixture's
// tear-down still writes entries: the folder lives until the program ends.
const std::string& log_root() {
  static velmora::testing::TempDir root;
  return root.path();
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST_F(DebugLogTest, WritesTheConnectEntriesInTheirFormat) {
  setenv("VELMORA_LOG_ROOT", log_root().c_str(), 1);
  start_sim();
  connect();  // log still off: nothing written
  brin_unconnect(0, 0, 0, 0);
  const time_t now = std::time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  const std::string path = log_root() + "/D/unit_/log/hcxxx_" + std::to_string(local.tm_wday) + ".log";
  EXPECT_FALSE(velmora::testing::file_exists(path));

  EXPECT_EQ(brin_log_sw('A'), 'A');  // outside C to F: no change
  EXPECT_EQ(brin_log_sw('D'), 'D');
  connect(2);
  EXPECT_EQ(brin_cam_swset(2, 0x12, 0x34), 0x34);
  EXPECT_EQ(brin_unconnect(2, 0, 0, 0), 0);
  EXPECT_EQ(vp::debug_log_path('D', local.tm_wday), path);

  const auto lines = lines_of(velmora::testing::read_file(path));
  ASSERT_EQ(lines.size(), 5u);
  for (const auto& l : lines) EXPECT_TRUE(has_entry_prefix(l)) << l;
  const std::string day = "/* " + std::to_string(local.tm_mday) + "/";
  EXPECT_EQ(lines[0].substr(0, day.size()), day);
  EXPECT_EQ(lines[0].substr(lines[0].find("*/") + 4), "brin_connect(0x2,);");
  // The address in network order read as a 32-bit number.
  EXPECT_EQ(lines[1].rfind("brin_connect_ip(0x", lines[1].find("*/") + 4), lines[1].find("*/") + 4);
  EXPECT_EQ(lines[2].substr(lines[2].find("*/") + 4), "brin_connect_success(0x2,);");
  EXPECT_EQ(lines[3].substr(lines[3].find("*/") + 4), "brin_cam_swset(0x2,0x12,0x34,);");
  EXPECT_EQ(lines[4].substr(lines[4].find("*/") + 4), "brin_unconnect(0x2,);");
}

TEST_F(DebugLogTest, ReceiveTimeOutIsLogged) {
  setenv("VELMORA_LOG_ROOT", log_root().c_str(), 1);
  brin_log_sw('C');
  auto& sim = start_sim();
  connect();
  sim.inject({zebsim::Fault::kNoReply, 1});
  EXPECT_EQ(brin_hd_swget(0, 1), -1);
  const time_t now = std::time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  const std::string text = velmora::testing::read_file(vp::debug_log_path('C', local.tm_wday));
  EXPECT_NE(text.find("recv_err2(0x2733,);"), std::string::npos) << text;
}

TEST(DebugLogFile, AnOldFileOfTheSameWeekdayIsStartedAnew) {
  velmora::testing::TempDir root;
  setenv("VELMORA_LOG_ROOT", root.path().c_str(), 1);
  const time_t now = std::time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  const std::string path = vp::debug_log_path('E', local.tm_wday);
  int mday = -1;
  const uint32_t arg = 7;
  ASSERT_EQ(vp::debug_log_write('E', mday, "first", &arg, 1), vp::LogWrite::kWritten);
  EXPECT_EQ(mday, local.tm_mday);
  // Same day: appended.
  ASSERT_EQ(vp::debug_log_write('E', mday, "second", nullptr, 0), vp::LogWrite::kWritten);
  EXPECT_EQ(lines_of(velmora::testing::read_file(path)).size(), 2u);
  // A file last written a week ago is replaced on the first entry of the day.
  const std::string old_stamp = "touch -d '8 days ago' '" + path + "'";
  ASSERT_EQ(std::system(old_stamp.c_str()), 0);
  mday = -1;
  ASSERT_EQ(vp::debug_log_write('E', mday, "third", nullptr, 0), vp::LogWrite::kWritten);
  const auto lines = lines_of(velmora::testing::read_file(path));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("third();"), std::string::npos);
  // The file of today, though, is kept on a new process's first entry.
  mday = -1;
  ASSERT_EQ(vp::debug_log_write('E', mday, "fourth", nullptr, 0), vp::LogWrite::kWritten);
  EXPECT_EQ(lines_of(velmora::testing::read_file(path)).size(), 2u);
}

}  // namespace
