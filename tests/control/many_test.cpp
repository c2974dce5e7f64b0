// Sixteen connection numbers, each logged in to a recorder of its own, each
// with its own command flow at the same time.
#include <thread>
#include <vector>

#include "sim_fixture.h"

namespace {

using ManyTest = SimTest;

TEST_F(ManyTest, SixteenRecordersAtOnce) {
  std::vector<std::unique_ptr<zebsim::Recorder>> sims;
  std::vector<std::string> addresses;
  for (int cn = 0; cn < 16; ++cn) {
    zebsim::Config c;
    c.address = velmora::testing::unique_loopback();
    c.password = "pw" + std::to_string(cn);
    c.first_connection = c.last_connection = cn;
    sims.push_back(std::make_unique<zebsim::Recorder>(c));
    ASSERT_TRUE(sims.back()->start()) << sims.back()->error();
    sims.back()->set_switch_item("cam", 0x50, 0x100 + static_cast<uint32_t>(cn));
    addresses.push_back(c.address);
  }
  std::vector<int> failures(16, 0);
  std::vector<std::thread> threads;
  for (int cn = 0; cn < 16; ++cn) {
    threads.emplace_back([&, cn] {
      const std::string pw = "pw" + std::to_string(cn);
      if (brin_connect(cn, addresses[static_cast<size_t>(cn)].c_str(), pw.c_str(), nullptr) != 0) {
        failures[static_cast<size_t>(cn)] |= 1;
        return;
      }
      for (int i = 0; i < 20; ++i) {
        if (brin_cam_swget(cn, 0x50) != 0x100 + cn) failures[static_cast<size_t>(cn)] |= 2;
        if (brin_cam_swset(cn, 0x60, i) != i) failures[static_cast<size_t>(cn)] |= 4;
      }
      if (brin_unconnect(cn, 0, 0, 0) != 0) failures[static_cast<size_t>(cn)] |= 8;
    });
  }
  for (auto& t : threads) t.join();
  for (int cn = 0; cn < 16; ++cn) {
    EXPECT_EQ(failures[static_cast<size_t>(cn)], 0) << "connection " << cn;
    EXPECT_EQ(sims[static_cast<size_t>(cn)]->switch_item("cam", 0x60), 19u);
    EXPECT_EQ(sims[static_cast<size_t>(cn)]->requests().size(), 40u);
  }
}

}  // namespace
