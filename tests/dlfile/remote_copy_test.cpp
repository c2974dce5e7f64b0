// The remote copy against the simulated recorder: the data file and frame
// index a copy leaves, the results and progress values, and the chunks that
// are refused, cut short or late.
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "brinlib_internal.h"
#include "dl_fixture.h"

namespace {

using dl_test::CopyServer;
using velmora::testing::file_exists;
using velmora::testing::TempDir;

class RemoteCopy : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = brin::timing(); }
  void TearDown() override { brin::timing() = saved_; }
  TempDir dir_;
  std::string data() const { return dir_.file("copy.dat"); }
  std::string index() const { return dir_.file(".index"); }
  brin::Timing saved_;
};

TEST_F(RemoteCopy, StoresEveryChunkAsTheRecorderSentIt) {
  CopyServer server;
  ASSERT_TRUE(server.ready());
  const dl_test::CopyRun run = dl_test::run_copy(0, data(), dir_.path());
  ASSERT_EQ(run.fast, 1);
  ASSERT_FALSE(run.results.empty());
  EXPECT_EQ(run.results.back(), 0);

  const std::vector<zebsim::CopyPart> parts = server.source().sent();
  // Two seconds of four cameras in half-second groups, and the audio of two
  // channels; the audio outlasts the video, so the copy ends with parts that
  // hold audio only.
  ASSERT_EQ(parts.size(), server.source().plan(dl_test::kSpan).size());
  ASSERT_GE(parts.size(), 16u);
  EXPECT_TRUE(parts.back().video.empty());
  EXPECT_FALSE(parts.back().audio.empty());

  const dl_test::Predicted want = dl_test::predict(parts);
  const std::vector<uint8_t> file = dl_test::bytes_of(data());
  ASSERT_EQ(file.size(), want.file.size());
  EXPECT_TRUE(file == want.file);
  EXPECT_EQ(file[0], 0x00);
  EXPECT_EQ(file[3], 0xBA);
  EXPECT_EQ(file[292], 0x00);
  EXPECT_EQ(file[295], 0xE0);  // the first chunk's data begin right after the map

  const std::vector<uint8_t> index_bytes = dl_test::bytes_of(index());
  EXPECT_EQ(index_bytes.size() % 12, 0u);
  EXPECT_TRUE(index_bytes == want.index);
}

TEST_F(RemoteCopy, ReportsProgressAndTheSecondsCopied) {
  CopyServer server;
  ASSERT_TRUE(server.ready());
  std::vector<int> span = dl_test::kSpan;
  span[11] = 3;  // three seconds
  const dl_test::CopyRun run = dl_test::run_copy(0, data(), dir_.path(), span);
  ASSERT_EQ(run.fast, 1);
  const std::vector<zebsim::CopyPart> parts = server.source().sent();
  ASSERT_EQ(run.results.size(), parts.size());  // one per further part, then the end
  EXPECT_EQ(run.results.back(), 0);
  int checked = 0;
  for (size_t i = 1; i < parts.size(); ++i) {
    const zebsim::CopyPart& part = parts[i];
    SCOPED_TRACE(i);
    const uint32_t bytes = static_cast<uint32_t>((part.video.size() > 100 ? part.video.size() : 0) +
                                                 (part.audio.size() > 6 ? part.audio.size() : 0));
    EXPECT_EQ(run.progress[i - 1], bytes);
    if (part.video.empty()) {
      EXPECT_EQ(run.results[i - 1], 1);  // no video chunk: no time to count
      continue;
    }
    const uint64_t after = part.time - parts[0].time;
    // 0.5 s after the start gives 1, 2.5 s gives 2.
    if (after == 45000) {
      EXPECT_EQ(run.results[i - 1], 1);
      ++checked;
    }
    if (after == 225000) {
      EXPECT_EQ(run.results[i - 1], 2);
      ++checked;
    }
    EXPECT_EQ(run.results[i - 1], after > 90000 ? static_cast<int32_t>(after / 90000) : 1);
  }
  EXPECT_GE(checked, 2);
}

TEST_F(RemoteCopy, NothingToCopyMakesNoFile) {
  CopyServer server;
  ASSERT_TRUE(server.ready());
  // A span that ends before it starts holds nothing.
  std::vector<int> span = dl_test::kSpan;
  span[9] = 9;
  const dl_test::CopyRun run = dl_test::run_copy(0, data(), dir_.path(), span);
  EXPECT_EQ(run.fast, 0);
  EXPECT_FALSE(file_exists(data()));
}

TEST_F(RemoteCopy, AudioWithoutVideoIsNotTakenAsTheNextReply) {
  zebsim::RemoteCopyConfig config;
  config.cameras = 0;  // the first part holds an audio chunk only
  CopyServer server(config);
  ASSERT_TRUE(server.ready());
  const dl_test::CopyRun run = dl_test::run_copy(0, data(), dir_.path());
  EXPECT_EQ(run.fast, 0);
  EXPECT_FALSE(file_exists(data()));
  EXPECT_EQ(brin::pending_carry_over(0), 0u);
  // The next request gets its own reply, not the audio bytes.
  char date[260] = {}, time[260] = {};
  EXPECT_EQ(brin_get_time(0, date, time), 0);
  EXPECT_EQ(std::strlen(date), 10u);
}

TEST_F(RemoteCopy, OneChunkCopyWritesTwoIndexEntries) {
  // One second of one camera recording one-second groups, with a tenth of a
  // second of audio: a single part holding a video and an audio chunk.
  zebsim::RemoteCopyConfig config;
  config.cameras = 1;
  config.audio_channels = 1;
  config.audio_seconds = 0.1;
  config.gop_pictures = 30;
  CopyServer server(config);
  ASSERT_TRUE(server.ready());
  std::vector<int> span = dl_test::kSpan;
  span[11] = 1;
  const dl_test::CopyRun run = dl_test::run_copy(0, data(), dir_.path(), span);
  ASSERT_EQ(run.fast, 1);
  ASSERT_EQ(server.source().sent().size(), 1u);
  ASSERT_EQ(run.results.size(), 1u);
  EXPECT_EQ(run.results[0], 0);
  const std::vector<uint8_t> index_bytes = dl_test::bytes_of(index());
  ASSERT_EQ(index_bytes.size(), 24u);
  EXPECT_EQ(index_bytes[0], 0);   // the video chunk
  EXPECT_EQ(index_bytes[12], 1);  // the audio chunk
  EXPECT_EQ(dl_test::le32(&index_bytes[4]), 292u);
  EXPECT_TRUE(index_bytes == dl_test::predict(server.source().sent()).index);
}

// The data file and the frame index hold evidence. A name that is taken
// already, by an earlier copy's file or by a symlink (dangling or not), is
// refused with -2 and left as it was, before the recorder is asked for the
// chunk; the parts of a copy go to the file it created even when its name
// is made a symlink halfway.
TEST_F(RemoteCopy, NeverWritesThroughASymlinkOrOverAnEarlierFile) {
  using velmora::testing::read_file;
  using velmora::testing::write_file;
  CopyServer server;
  ASSERT_TRUE(server.ready());
  const std::string victim = dir_.file("victim.txt"), absent = dir_.file("absent.txt");
  ASSERT_TRUE(write_file(victim, "keep me"));
  char date[260] = {}, time[260] = {};
  auto refused = [&](const std::string& path) {
    server.recorder().clear_requests();
    EXPECT_EQ(dl_test::run_copy(0, path, dir_.path()).fast, brin::kOutputRefused) << path;
    for (const std::string& line : server.recorder().requests()) EXPECT_NE(line, "JpegSendStart\n");
    EXPECT_EQ(brin_get_time(0, date, time), 0);  // nothing was sent that the next reply could meet
  };
  ASSERT_EQ(::symlink(victim.c_str(), data().c_str()), 0);
  refused(data());
  const std::string dangling = dir_.file("dangling.dat");
  ASSERT_EQ(::symlink(absent.c_str(), dangling.c_str()), 0);
  refused(dangling);
  const std::string earlier = dir_.file("earlier.dat");
  ASSERT_TRUE(write_file(earlier, "an earlier copy"));
  refused(earlier);
  EXPECT_EQ(read_file(victim), "keep me");
  EXPECT_FALSE(file_exists(absent));
  EXPECT_EQ(read_file(earlier), "an earlier copy");

  // A symlink at the index's name: the data are stored whole, the index is
  // refused at the end.
  TempDir other;
  ASSERT_EQ(::symlink(victim.c_str(), other.file(".index").c_str()), 0);
  dl_test::CopyRun run = dl_test::run_copy(0, other.file("copy.dat"), other.path());
  ASSERT_EQ(run.fast, 1);
  ASSERT_FALSE(run.results.empty());
  EXPECT_EQ(run.results.back(), brin::kOutputRefused);
  EXPECT_EQ(read_file(victim), "keep me");
  EXPECT_TRUE(dl_test::bytes_of(other.file("copy.dat")) == dl_test::predict(server.source().sent()).file);

  // The data file moved away after the first part and a symlink put in its
  // place: the later parts still go to the file the copy created.
  TempDir moved;
  const std::string path = moved.file("copy.dat"), away = moved.file("moved.dat");
  const int* n = dl_test::kSpan.data();
  ASSERT_EQ(brin_copy_fast(0, path.c_str(), n[0], n[1], n[2], n[3], n[4], n[5], n[6], n[7], n[8], n[9], n[10], n[11]),
            1);
  ASSERT_EQ(::rename(path.c_str(), away.c_str()), 0);
  ASSERT_EQ(::symlink(victim.c_str(), path.c_str()), 0);
  int32_t r = 1;
  for (int i = 0; i < 1000 && r > 0; ++i) {
    uint8_t progress[4];
    r = brin_copy_next(0, path.c_str(), progress, moved.path().c_str());
  }
  EXPECT_EQ(r, 0);
  EXPECT_EQ(read_file(victim), "keep me");
  const dl_test::Predicted want = dl_test::predict(server.source().sent());
  EXPECT_TRUE(dl_test::bytes_of(away) == want.file);
  EXPECT_TRUE(dl_test::bytes_of(moved.file(".index")) == want.index);

  // And a copy to a free name is stored as before.
  TempDir fresh;
  run = dl_test::run_copy(0, fresh.file("copy.dat"), fresh.path());
  ASSERT_EQ(run.fast, 1);
  EXPECT_EQ(run.results.back(), 0);
  EXPECT_TRUE(dl_test::bytes_of(fresh.file("copy.dat")) == dl_test::predict(server.source().sent()).file);
}

TEST_F(RemoteCopy, ChunkLargerThanTheBufferIsRefused) {
  CopyServer server;
  ASSERT_TRUE(server.ready());
  server.source().set_fault({zebsim::CopyFault::kOversize, 0});
  dl_test::CopyRun run = dl_test::run_copy(0, data(), dir_.path());
  EXPECT_EQ(run.fast, -5);
  EXPECT_FALSE(file_exists(data()));
  char date[260] = {}, time[260] = {};
  EXPECT_EQ(brin_get_time(0, date, time), 0);  // the connection still works

  server.source().set_fault({zebsim::CopyFault::kOversize, 3});
  run = dl_test::run_copy(0, data(), dir_.path());
  EXPECT_EQ(run.fast, 1);
  ASSERT_FALSE(run.results.empty());
  EXPECT_EQ(run.results.back(), -5);
  EXPECT_EQ(run.results.size(), 3u);
  EXPECT_TRUE(file_exists(data()));
  EXPECT_FALSE(file_exists(index()));
  // What was stored before is intact.
  const dl_test::Predicted want = dl_test::predict(server.source().sent());
  EXPECT_TRUE(dl_test::bytes_of(data()) == want.file);
  EXPECT_EQ(brin_get_time(0, date, time), 0);
}

TEST_F(RemoteCopy, ChunkCutShortFailsWithoutStoringIt) {
  brin::timing().receive_timeout_ms = 1500;  // longer than any reply takes, even under a sanitizer
  CopyServer server;
  ASSERT_TRUE(server.ready());
  server.source().set_fault({zebsim::CopyFault::kCut, 2, 5000});
  const dl_test::CopyRun run = dl_test::run_copy(0, data(), dir_.path());
  ASSERT_EQ(run.fast, 1);
  ASSERT_EQ(run.results.size(), 2u);
  EXPECT_EQ(run.results[1], -5);
  EXPECT_FALSE(file_exists(index()));
  // Only the two whole parts are in the file; the cut one left nothing.
  const std::vector<zebsim::CopyPart> sent = server.source().sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_TRUE(dl_test::bytes_of(data()) == dl_test::predict(sent).file);
}

TEST_F(RemoteCopy, StalledChunkTimesOutOrArrivesLate) {
  brin::timing().receive_timeout_ms = 1500;
  CopyServer server;
  ASSERT_TRUE(server.ready());
  server.source().set_fault({zebsim::CopyFault::kStall, 1, 2000, 4000});
  dl_test::CopyRun run = dl_test::run_copy(0, data(), dir_.path());
  ASSERT_EQ(run.fast, 1);
  ASSERT_EQ(run.results.size(), 1u);
  EXPECT_EQ(run.results[0], -5);
  EXPECT_FALSE(file_exists(index()));

  // The rest of the stalled chunk arrives after the copy gave up; a new copy
  // is not misled by it.
  ASSERT_TRUE(
      velmora::testing::wait_until([&] { return server.source().sent().size() == 2; }, std::chrono::seconds(10)));
  server.source().set_fault({});
  TempDir next;
  run = dl_test::run_copy(0, next.file("copy.dat"), next.path());
  ASSERT_EQ(run.fast, 1);
  EXPECT_EQ(run.results.back(), 0);

  // With time enough, the stalled chunk completes the copy.
  brin::timing().receive_timeout_ms = 10000;
  server.source().set_fault({zebsim::CopyFault::kStall, 1, 2000, 300});
  TempDir again;
  run = dl_test::run_copy(0, again.file("copy.dat"), again.path());
  ASSERT_EQ(run.fast, 1);
  EXPECT_EQ(run.results.back(), 0);
  EXPECT_TRUE(dl_test::bytes_of(again.file("copy.dat")) == dl_test::predict(server.source().sent()).file);
}

TEST_F(RemoteCopy, RefusedRequestsAndMissingReplies) {
  uint8_t progress[4] = {};
  EXPECT_EQ(brin_copy_fast(16, data().c_str(), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0), -127);
  EXPECT_EQ(brin_copy_next(-1, data().c_str(), progress, dir_.path().c_str()), -127);
  EXPECT_EQ(brin_copy_fast(5, data().c_str(), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0), -10200);
  EXPECT_EQ(brin_copy_next(5, data().c_str(), progress, dir_.path().c_str()), -10200);

  brin::timing().receive_timeout_ms = 1500;
  CopyServer server;
  ASSERT_TRUE(server.ready());
  zebsim::FaultPlan silent;
  silent.fault = zebsim::Fault::kNoReply;
  silent.count = 1;
  silent.only_word = "SendDataN";
  server.recorder().inject(silent);
  const dl_test::CopyRun run = dl_test::run_copy(0, data(), dir_.path());
  ASSERT_EQ(run.fast, 1);
  ASSERT_EQ(run.results.size(), 1u);
  EXPECT_EQ(run.results[0], -1);
  EXPECT_FALSE(file_exists(index()));

  zebsim::FaultPlan refuse;
  refuse.fault = zebsim::Fault::kNotOk;
  refuse.count = 1;
  refuse.only_word = "SendDataF";
  server.recorder().inject(refuse);
  EXPECT_EQ(brin_copy_fast(0, data().c_str(), 26, 12, 7, 10, 0, 0, 26, 12, 7, 10, 0, 2), -10501);
}

TEST_F(RemoteCopy, RequestCarriesTheTwelveNumbers) {
  CopyServer server;
  ASSERT_TRUE(server.ready());
  server.recorder().clear_requests();
  brin_copy_fast(0, data().c_str(), 26, 12, 7, 10, 0, 0, 26, 12, 7, 10, 0, 2);
  const std::vector<std::string> lines = server.recorder().requests();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_NE(lines[0].find(" SendDataF 26 12 07 10 00 00 26 12 07 10 00 02\n"), std::string::npos) << lines[0];
  EXPECT_EQ(lines[0].rfind("ID", 0), 0u);
  EXPECT_EQ(lines[1], "JpegSendStart\n");
}

// A recorder that sends its chunk one byte at a time, each byte well within
// the reply time limit: each copy call ends with an error at its overall
// deadline instead of holding the copy for as long as the chunk would take
// (here over half an hour). The figures are reported, not asserted.
TEST_F(RemoteCopy, ADrippingChunkEndsAtTheCallsDeadline) {
  constexpr int kChunk = 100000;
  std::atomic<bool> stop{false};
  std::atomic<int> dripped{0};
  std::atomic<int> dripping{0};              // handlers still sending
  brin::timing().receive_timeout_ms = 3000;  // far more than a byte takes
  brin::testing::set_copy_call_deadline_ms(400);
  CopyServer server;
  ASSERT_TRUE(server.ready());
  // Announces a video chunk of kChunk bytes and, once told to send it,
  // sends a byte every 20 ms until the client has gone or the test ends.
  auto drip = [&](zebsim::Session& session, const zebsim::Request& r) {
    char fields[32];
    std::snprintf(fields, sizeof fields, "%X 0 1", kChunk);
    session.reply(r, fields);
    std::string line;
    if (!session.read_line(line, 5000) || line != "JpegSendStart") return;
    const uint8_t byte = 0;
    ++dripping;
    dripped = 0;
    while (!stop.load() && dripped.load() < kChunk && session.send_raw(&byte, 1)) {
      ++dripped;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    --dripping;
  };
  auto stop_dripping = [&] {
    stop = true;
    EXPECT_TRUE(velmora::testing::wait_until([&] { return dripping.load() == 0; }, std::chrono::seconds(5)));
    stop = false;
  };
  auto timed = [](auto call) {
    const auto t0 = std::chrono::steady_clock::now();
    const int32_t r = call();
    return std::pair{r, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count()};
  };

  // The first part of a copy.
  server.recorder().add_command("SendDataF", drip);
  const auto [fast, fast_ms] =
      timed([&] { return brin_copy_fast(0, data().c_str(), 26, 12, 7, 10, 0, 0, 26, 12, 7, 10, 0, 2); });
  EXPECT_EQ(fast, -5);
  EXPECT_LT(dripped.load(), kChunk);
  std::printf("brin_copy_fast on a dripping chunk: %d after %.0f ms, %d bytes received\n", fast, fast_ms,
              dripped.load());
  stop_dripping();

  // A later part: the first is served whole, the next drips.
  uint8_t progress[4] = {};
  server.recorder().add_command("SendDataF",
                                [](zebsim::Session& session, const zebsim::Request& r) { session.reply(r, "0 0 0"); });
  EXPECT_EQ(brin_copy_fast(0, data().c_str(), 26, 12, 7, 10, 0, 0, 26, 12, 7, 10, 0, 2), 0);
  ASSERT_TRUE(velmora::testing::write_file(data(), ""));  // the data file a first part would have made
  server.recorder().add_command("SendDataN", drip);
  const auto [next, next_ms] = timed([&] { return brin_copy_next(0, data().c_str(), progress, dir_.path().c_str()); });
  EXPECT_EQ(next, -5);
  EXPECT_LT(dripped.load(), kChunk);
  std::printf("brin_copy_next on a dripping chunk: %d after %.0f ms, %d bytes received\n", next, next_ms,
              dripped.load());
  stop_dripping();
  brin::testing::set_copy_call_deadline_ms(0);
}

}  // namespace
