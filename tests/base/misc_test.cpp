// Clocks, named mutexes, message boxes and the recorder time conversions.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "velmora/clock.h"
#include "velmora/message.h"
#include "velmora/rectime.h"
#include "velmora/sync.h"

namespace {

std::string g_last_text, g_last_caption;

}  // namespace

// The host hook: found by the platform layer among the program's symbols.
extern "C" __attribute__((visibility("default"))) void velmora_message_box(const char* text, const char* caption) {
  g_last_text = text;
  g_last_caption = caption;
}

namespace {

TEST(Clock, ElapsedTimeSurvivesTheWrap) {
  EXPECT_EQ(vp::elapsed_ms(0xFFFFFFF0u, 0x10u), 0x20u);
  const uint32_t a = vp::tick_count_ms();
  vp::sleep_ms(20);
  EXPECT_GE(vp::elapsed_ms(a, vp::tick_count_ms()), 20u);
  // The two clocks are one: a reading of the one lies between two of the
  // other, however long the thread waited in between.
  const uint32_t before = vp::time_get_time_ms();
  const uint32_t tick = vp::tick_count_ms();
  const uint32_t after = vp::time_get_time_ms();
  EXPECT_LE(vp::elapsed_ms(before, tick), vp::elapsed_ms(before, after));
}

TEST(NamedMutex, OneNameIsOneMutex) {
  std::mutex& a = vp::named_mutex("ringDATA");
  std::mutex& b = vp::named_mutex("ringDATA");
  std::mutex& c = vp::named_mutex("BMPDATA");
  EXPECT_EQ(&a, &b);
  EXPECT_NE(&a, &c);
  std::lock_guard<std::mutex> hold(a);
  bool taken = true;
  std::thread t([&] { taken = vp::named_mutex("ringDATA").try_lock(); });
  t.join();
  EXPECT_FALSE(taken);
}

TEST(MessageBox, GoesToTheHostHook) {
  const int before = vp::message_box_count();
  vp::message_box("No picture header in picture buffer\n", "decode");
  EXPECT_EQ(g_last_text, "No picture header in picture buffer\n");
  EXPECT_EQ(g_last_caption, "decode");
  EXPECT_EQ(vp::message_box_count(), before + 1);
}

TEST(RecSeconds, ConvertsBothWays) {
  EXPECT_EQ(vp::rec_seconds(vp::RecTime{0, 1, 1, 0, 0, 0}), 0u);
  EXPECT_EQ(vp::rec_seconds(vp::RecTime{0, 2, 1, 0, 0, 0}), 2678400u);  // every month 31 days
  EXPECT_EQ(vp::rec_seconds(2000, 2, 1, 0, 0, 0), 2678400u);
  const vp::RecTime t = vp::rec_time_from_seconds(0);
  EXPECT_EQ(t.year, 0);
  EXPECT_EQ(t.month, 1);
  EXPECT_EQ(t.day, 1);
  for (uint32_t s : {1u, 59u, 86399u, 2678399u, 32140799u, 400000000u}) {
    EXPECT_EQ(vp::rec_seconds(vp::rec_time_from_seconds(s)), s);
  }
  EXPECT_EQ(vp::compare_rec_time({7, 1, 1, 0, 0, 1}, {7, 1, 1, 0, 0, 0}), 1);
  EXPECT_EQ(vp::compare_rec_time({7, 1, 1, 23, 0, 0}, {7, 1, 2, 0, 0, 0}), -1);
  EXPECT_EQ(vp::compare_rec_time({7, 1, 1, 0, 0, 0}, {7, 1, 1, 0, 0, 0}), 0);
}

}  // namespace
