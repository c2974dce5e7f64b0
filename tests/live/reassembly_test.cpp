// Reassembly of live frames from hand-made datagrams: fragment order, frame
// numbers, the sender filter, oversized frames and the status reads.
#include <dirent.h>
#include <unistd.h>

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>

#include "brinlib_internal.h"
#include "live_fixture.h"

namespace {

using live_test::Datagram;
using live_test::fragments;
using live_test::picture_frame;
using velmora::testing::wait_until;
using namespace std::chrono_literals;

class Reassembly : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(brin_udp_connect("127.0.0.1", port_, 0), 0);
    int p[4];
    sender_.parts(p);
    ASSERT_EQ(brin_udp_rx_start(p[0], p[1], p[2], p[3]), 0);
  }
  void TearDown() override { EXPECT_EQ(brin_udp_close(), 0); }

  // Waits until a poll of the channel takes a completed frame.
  bool taken(int channel, int kind = 0) { return live_test::poll_takes(channel, kind); }
  // Sends a one-datagram frame on a marker channel and waits for it: the
  // receive thread handles datagrams in order, so everything sent before it
  // has been handled once it is taken.
  void sync(uint8_t number = 200) {
    sender_.send_all(fragments(picture_frame(15, 0), number, 4000), port_);
    ASSERT_TRUE(taken(15));
  }

  velmora::testing::TempDir dir_;
  velmora::testing::ScopedCwd cwd_{dir_.path()};
  uint16_t port_ = live_test::test_port();
  live_test::Sender sender_{velmora::testing::unique_loopback()};
};

TEST_F(Reassembly, ACompleteFrameIsTakenOnceAndItsValuesAreKept) {
  sender_.send_all(fragments(picture_frame(3, 0, 4, 96, 4242), 1, 100), port_);
  ASSERT_TRUE(taken(3));
  EXPECT_FALSE(live_test::takes_now(3));  // taken once
  BrinRxTime t{};
  EXPECT_EQ(brin_udp_rxtime(0, &t), &t);
  EXPECT_EQ(t.time, 4242u);
  EXPECT_EQ(t.fraction, 77);
  uint8_t flags = 0, channel = 0;
  uint16_t status = 0, c1 = 0, c2 = 0, c3 = 0;
  brin_udp_rxstatus(0, &flags, &channel, &status, &c1, &c2, &c3);
  EXPECT_EQ(flags, 0x03);
  EXPECT_EQ(channel, 3);
  EXPECT_EQ(status, 0x1234);
  EXPECT_EQ(c1, 11);
  EXPECT_EQ(c2, 22);
  EXPECT_EQ(c3, 33);
  // Before decoding is set up no picture file is written.
  EXPECT_FALSE(velmora::testing::file_exists("img/serv003.jpg"));
  // The trace of the receive threads.
  EXPECT_EQ(velmora::testing::read_file("img/log0.txt").rfind("thread_flg 0 0\nMULTI JOIN 127.0.0.1 ", 0), 0u);
}

TEST_F(Reassembly, ANewConnectionForgetsThePreviousStreamsFrameValues) {
  auto frame = picture_frame(2, 0, 1, 64, 5000);
  frame[22] = 0x10;  // the recorder drops the viewer
  sender_.send_all(fragments(frame, 1, 4000), port_);
  ASSERT_TRUE(taken(2));
  uint8_t flags = 0, channel = 0;
  uint16_t status = 0, c1 = 0, c2 = 0, c3 = 0;
  brin_udp_rxstatus(0, &flags, &channel, &status, &c1, &c2, &c3);
  ASSERT_EQ(flags, 0x10);
  ASSERT_EQ(brin_udp_close(), 0);
  ASSERT_EQ(brin_udp_connect("127.0.0.1", port_, 0), 0);
  brin_udp_rxstatus(0, &flags, &channel, &status, &c1, &c2, &c3);
  EXPECT_EQ(flags, 0);
  EXPECT_EQ(status, 0);
  BrinRxTime t{};
  brin_udp_rxtime(0, &t);
  EXPECT_EQ(t.time, 0u);
}

TEST_F(Reassembly, CameraControlThirdValueIsReportedOnce) {
  sender_.send_all(fragments(picture_frame(4, 0), 1, 4000), port_);
  ASSERT_TRUE(taken(4));
  uint16_t a = 0, b = 0, c = 0;
  brin_udp_ptzstatus(4, &a, &b, &c);
  EXPECT_EQ(a, 11);
  EXPECT_EQ(b, 22);
  EXPECT_EQ(c, 33);
  brin_udp_ptzstatus(4, &a, &b, &c);
  EXPECT_EQ(a, 11);
  EXPECT_EQ(c, 0);
}

TEST_F(Reassembly, FragmentOneBeforeFragmentZeroStillCompletes) {
  auto ds = fragments(picture_frame(2, 1, 3, 64), 9, 90);
  ASSERT_GE(ds.size(), 3u);
  std::swap(ds[0], ds[1]);
  sender_.send_all(ds, port_);
  EXPECT_TRUE(taken(2, 1));
}

TEST_F(Reassembly, AbandonedFramesFollowTheFrameNumberRules) {
  // Sub-frames of 96 bytes: the first ends past the first fragment, so an
  // abandoned frame leaves nothing to show.
  // Frame 7 on channel 1 stays incomplete when frame 8 (channel 2) begins;
  // 7's late fragment is dropped and 8 completes.
  auto f7 = fragments(picture_frame(1, 0, 2, 96), 7, 200);
  auto f8 = fragments(picture_frame(2, 0, 2, 96), 8, 200);
  ASSERT_EQ(f7.size(), 2u);
  sender_.send(f7[0], port_);
  sender_.send(f8[0], port_);
  sender_.send(f7[1], port_);
  sender_.send(f8[1], port_);
  EXPECT_TRUE(taken(2));
  sync();
  EXPECT_FALSE(live_test::takes_now(1));

  // Frame 6 (channel 3) begun while frame 9 (channel 5) is collected after
  // an incomplete frame 4: 6 abandons 9, whose rest then counts as late.
  auto f4 = fragments(picture_frame(6, 0, 2, 96), 4, 200);
  auto f9 = fragments(picture_frame(5, 0, 2, 96), 9, 200);
  auto f6 = fragments(picture_frame(3, 0, 2, 96), 6, 200);
  sender_.send(f4[0], port_);
  sender_.send(f9[0], port_);
  sender_.send(f6[0], port_);
  sender_.send(f9[1], port_);
  sender_.send(f6[1], port_);
  EXPECT_TRUE(taken(3));
  sync(201);
  EXPECT_FALSE(live_test::takes_now(5));
  EXPECT_FALSE(live_test::takes_now(6));
}

TEST_F(Reassembly, DuplicateFragmentsNeverCompleteAFrame) {
  // Sub-frames of 96 bytes in fragments of 100: a frame without its second
  // fragment leaves nothing whole to show. Channel 4's buffer first holds an
  // older frame whose bytes a false completion would take.
  sender_.send_all(fragments(picture_frame(4, 0, 3, 96, 1000, 0x11), 1, 100), port_);
  ASSERT_TRUE(taken(4));
  // Fragment 0 as many times as the frame has fragments.
  const auto f2 = fragments(picture_frame(4, 0, 3, 96, 2000, 0x22), 2, 100);
  for (size_t n = 0; n < f2.size(); ++n) sender_.send(f2[0], port_);
  // The second fragment lost, the last one twice.
  const auto f3 = fragments(picture_frame(4, 0, 3, 96, 3000, 0x33), 3, 100);
  for (size_t n = 0; n < f3.size(); ++n)
    if (n != 1) sender_.send(f3[n], port_);
  sender_.send(f3.back(), port_);
  // No fragment 0 (the header), every other one twice: no channel and kind
  // may be read from an older header.
  const auto f4 = fragments(picture_frame(5, 0, 3, 96, 4000, 0x44), 4, 100);
  for (size_t n = 1; n < f4.size(); ++n) {
    sender_.send(f4[n], port_);
    sender_.send(f4[n], port_);
  }
  sync();
  for (int ch = 0; ch < 15; ++ch) {
    EXPECT_FALSE(live_test::takes_now(ch, 0)) << ch;
    EXPECT_FALSE(live_test::takes_now(ch, 1)) << ch;
  }
}

TEST_F(Reassembly, ALateFragmentOfACompletedFrameAbandonsTheNextOne) {
  auto f5 = fragments(picture_frame(1, 0, 2, 64), 5, 100);
  auto f10 = fragments(picture_frame(2, 0, 2, 64), 10, 100);
  sender_.send_all(f5, port_);
  EXPECT_TRUE(taken(1));
  sender_.send(f10[0], port_);  // current = previous = 10
  sender_.send(f5[1], port_);   // neither: starts a new frame 5
  sender_.send(f10[1], port_);  // 10 is now the previous frame: dropped
  sync();
  EXPECT_FALSE(live_test::takes_now(2));
}

TEST_F(Reassembly, DatagramsFromAnotherSenderOrSlotAreIgnored) {
  live_test::Sender stranger(velmora::testing::unique_loopback());
  stranger.send_all(fragments(picture_frame(7, 0), 1, 4000), port_);
  auto slot2 = fragments(picture_frame(8, 0), 2, 4000, 2);
  sender_.send_all(slot2, port_);
  Datagram tiny;
  tiny.bytes.assign(8, 0);
  sender_.send(tiny, port_);
  sync();
  EXPECT_FALSE(live_test::takes_now(7));
  EXPECT_FALSE(live_test::takes_now(8));
}

TEST_F(Reassembly, FramesThatDoNotFitAreDropped) {
  // A header claiming more than the 512 KiB channel buffer, straight through
  // and through the staging buffer.
  auto big = picture_frame(9, 0);
  live_test::put32(big, 4, 600000);
  sender_.send_all(fragments(big, 1, 4000), port_);
  auto staged = fragments(big, 2, 100);
  std::swap(staged[0], staged[1]);
  sender_.send_all(staged, port_);
  // A fragment placed past the end of every buffer.
  auto far = fragments(picture_frame(10, 0, 1, 64), 3, 100);
  far[0].bytes[1] = 200;
  live_test::put16(far[0].bytes, 4, 60000);
  sender_.send_all(far, port_);
  sync();
  EXPECT_FALSE(live_test::takes_now(9));
  EXPECT_FALSE(live_test::takes_now(10));
}

TEST_F(Reassembly, OnlyTheNewestFrameOfAChannelIsKeptAndEachReplacedOneIsCounted) {
  const auto& replaced = brin::live::state().frames_replaced[0];
  const uint64_t before = replaced.load();
  sender_.send_all(fragments(picture_frame(11, 0, 1, 64, 1), 1, 4000), port_);
  sender_.send_all(fragments(picture_frame(11, 0, 1, 64, 2), 2, 4000), port_);
  sender_.send_all(fragments(picture_frame(11, 0, 1, 64, 3), 3, 4000), port_);
  sync();
  EXPECT_TRUE(live_test::takes_now(11));
  BrinRxTime t{};
  brin_udp_rxtime(0, &t);
  EXPECT_FALSE(live_test::takes_now(11));
  {
    // Read under the buffer's lock: the receive thread may be filling it.
    auto& buffer = brin::live::state().channels[0][11];
    std::lock_guard<std::mutex> lock(buffer.lock);
    EXPECT_EQ(brin::live::le32(buffer.data.get() + 8), 3u);
  }
  // Frames 1 and 2 were never taken; a frame that follows one already taken
  // replaces nothing.
  EXPECT_EQ(replaced.load() - before, 2u);
  sender_.send_all(fragments(picture_frame(11, 0, 1, 64, 4), 4, 4000), port_);
  sync(201);
  EXPECT_TRUE(live_test::takes_now(11));
  EXPECT_EQ(replaced.load() - before, 2u);
}

// A poll held just before it decodes, until the test lets it go.
struct HeldPoll {
  std::mutex m;
  std::condition_variable cv;
  bool inside = false, release = false;
};
HeldPoll g_held;

void hold_poll(int) {
  std::unique_lock<std::mutex> l(g_held.m);
  g_held.inside = true;
  g_held.cv.notify_all();
  g_held.cv.wait(l, [] { return g_held.release; });
}

TEST_F(Reassembly, AChannelsNextFrameCompletesWhileAPollDecodesTheLastOne) {
  auto& st = brin::live::state();
  sender_.send_all(fragments(picture_frame(3, 0, 1, 64, 1), 1, 4000), port_);
  sync();
  brin::live::testing::set_poll_decode_hook(hold_poll);
  std::thread poll([] { brin_udp_rx(3, 0); });
  bool inside = false;
  {
    std::unique_lock<std::mutex> l(g_held.m);
    inside = g_held.cv.wait_for(l, 30s, [] { return g_held.inside; });
  }
  // The receive thread completes frame 2 of the channel without waiting for
  // the decode of frame 1.
  const uint64_t completed = st.frames_completed[0].load();
  if (inside) sender_.send_all(fragments(picture_frame(3, 0, 1, 64, 2), 2, 4000), port_);
  const bool completes = inside && wait_until([&] { return st.frames_completed[0].load() > completed; }, 30s);
  {
    std::lock_guard<std::mutex> l(g_held.m);
    g_held.release = true;
  }
  g_held.cv.notify_all();
  poll.join();
  brin::live::testing::set_poll_decode_hook(nullptr);
  ASSERT_TRUE(inside);
  EXPECT_TRUE(completes);
  // Frame 2 waits for the next poll.
  EXPECT_TRUE(live_test::takes_now(3));
  EXPECT_EQ(brin::live::le32(st.channels[0][3].data.get() + 8), 2u);
}

TEST(ReassemblyStart, NothingIsAcceptedBeforeTheRecordersAddressIsKnown) {
  velmora::testing::TempDir dir;
  velmora::testing::ScopedCwd cwd(dir.path());
  const uint16_t port = live_test::test_port() + 2;
  live_test::Sender sender(velmora::testing::unique_loopback());
  ASSERT_EQ(brin_udp_connect("127.0.0.1", port, 0), 0);
  // Both threads get a frame before the address is set (the counts go on
  // from earlier streams of this process).
  auto& read = brin::live::state().datagrams_read;
  const uint64_t before[2] = {read[0].load(), read[1].load()};
  sender.send_all(fragments(picture_frame(1, 0), 1, 4000), port);
  sender.send_all(fragments(picture_frame(2, 0), 1, 4000), port + 1);
  ASSERT_TRUE(wait_until([&] { return read[0].load() > before[0] && read[1].load() > before[1]; }, 30s));
  int p[4];
  sender.parts(p);
  ASSERT_EQ(brin_udp_rx_start(p[0], p[1], p[2], p[3]), 0);
  sender.send_all(fragments(picture_frame(15, 0), 2, 4000), port);
  sender.send_all(fragments(picture_frame(14, 0), 2, 4000), port + 1);
  EXPECT_TRUE(live_test::poll_takes(15));
  EXPECT_TRUE(live_test::poll_takes(14));
  EXPECT_FALSE(live_test::takes_now(1));
  EXPECT_FALSE(live_test::takes_now(2));
  // A paused thread 0 keeps what arrives and takes it when resumed.
  brin_udp_rx_stop();
  sender.send_all(fragments(picture_frame(3, 0), 3, 4000), port);
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(live_test::takes_now(3));
  brin_udp_rx_start(p[0], p[1], p[2], p[3]);
  EXPECT_TRUE(live_test::poll_takes(3));
  EXPECT_EQ(brin_udp_close(), 0);
}

TEST(ReassemblyStart, BasePortZeroBindsBothThreadsTo50000) {
  velmora::testing::TempDir dir;
  velmora::testing::ScopedCwd cwd(dir.path());
  live_test::Sender sender(velmora::testing::unique_loopback());
  ASSERT_EQ(brin_udp_connect("127.0.0.1", 0, 0), 0);
  int p[4];
  sender.parts(p);
  brin_udp_rx_start(p[0], p[1], p[2], p[3]);
  sender.send_all(fragments(picture_frame(6, 0), 1, 4000), 50000);
  EXPECT_TRUE(live_test::poll_takes(6));
  EXPECT_EQ(velmora::testing::read_file("img/log1.txt").rfind("thread_flg 1 1\nMULTI JOIN 127.0.0.1 1\n", 0), 0u);
  EXPECT_EQ(brin_udp_close(), 0);
}

// The receive threads of this process, and its open sockets.
int receive_threads() {
  int n = 0;
  DIR* d = opendir("/proc/self/task");
  while (dirent* e = d ? readdir(d) : nullptr) {
    std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
    std::string name;
    if (std::getline(comm, name) && name.rfind("brin-udp-rx", 0) == 0) ++n;
  }
  if (d) closedir(d);
  return n;
}
int open_sockets() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  while (dirent* e = d ? readdir(d) : nullptr) {
    char target[64] = {};
    const std::string link = std::string("/proc/self/fd/") + e->d_name;
    if (readlink(link.c_str(), target, sizeof target - 1) > 0 && std::string(target).rfind("socket:", 0) == 0) ++n;
  }
  if (d) closedir(d);
  return n;
}

TEST(ReassemblyStart, ConnectingTwiceLeavesOneThreadPairAndCloseEndsIt) {
  velmora::testing::TempDir dir;
  velmora::testing::ScopedCwd cwd(dir.path());
  const uint16_t port = live_test::test_port() + 2;
  live_test::Sender sender(velmora::testing::unique_loopback());
  const int sockets = open_sockets();
  ASSERT_EQ(receive_threads(), 0);
  ASSERT_EQ(brin_udp_connect("127.0.0.1", port, 0), 0);
  ASSERT_EQ(brin_udp_connect("127.0.0.1", port, 0), 0);
  EXPECT_EQ(receive_threads(), 2);
  EXPECT_EQ(open_sockets(), sockets + 2);
  // The stream still works on the second connection's threads.
  int p[4];
  sender.parts(p);
  ASSERT_EQ(brin_udp_rx_start(p[0], p[1], p[2], p[3]), 0);
  sender.send_all(fragments(picture_frame(6, 0), 1, 4000), port);
  EXPECT_TRUE(live_test::poll_takes(6));
  EXPECT_EQ(brin_udp_close(), 0);
  EXPECT_EQ(receive_threads(), 0);
  EXPECT_EQ(open_sockets(), sockets);
}

}  // namespace
