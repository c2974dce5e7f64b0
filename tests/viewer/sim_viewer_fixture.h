// The main window against simulated recorders on addresses of their own.
#pragma once
#include <map>

#include "viewer_fixture.h"
#include "zebsim/recorder.h"

class SimViewerTest : public ViewerTest {
 protected:
  static constexpr const char* kId = "admin";
  static constexpr const char* kPass = "1234";
  // The login string of the list: ID and password padded to 8 each.
  static std::string login() { return "admin   1234    "; }

  void TearDown() override {
    ViewerTest::TearDown();
    for (auto& s : sims_) s->stop();
  }

  zebsim::Recorder& start_sim(zebsim::Config config = {}) {
    config.address = velmora::testing::unique_loopback();
    config.password = login();
    sims_.push_back(std::make_unique<zebsim::Recorder>(config));
    EXPECT_TRUE(sims_.back()->start()) << sims_.back()->error();
    return *sims_.back();
  }

  // A list entry for a recorder address.
  static std::string entry(int n, const std::string& name, const std::string& ip, const std::string& extra = "",
                           const std::string& pass = kPass) {
    char section[16];
    std::snprintf(section, sizeof section, "[No.%02d]\n", n);
    return section + ("name=" + name + "\nip=" + ip + "\nid=" + kId + "\npass=" + pass + "\n" + extra);
  }

  // The command words the recorder received, with their arguments, without
  // the transaction IDs.
  static std::vector<std::string> commands(const zebsim::Recorder& sim) {
    std::vector<std::string> out;
    for (std::string line : sim.requests()) {
      if (!line.empty() && line.back() == '\n') line.pop_back();
      const size_t space = line.find(' ');
      out.push_back(space == std::string::npos ? line : line.substr(space + 1));
    }
    return out;
  }

  std::vector<std::unique_ptr<zebsim::Recorder>> sims_;
};
