// The test binary is the host program: the libraries' message boxes come
// here and are kept for the tests to read.
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "dl_fixture.h"

namespace {
std::mutex g_lock;
std::vector<std::pair<std::string, std::string>> g_messages;
}  // namespace

extern "C" __attribute__((visibility("default"))) void velmora_message_box(const char* text, const char* caption) {
  std::lock_guard<std::mutex> g(g_lock);
  g_messages.emplace_back(text ? text : "", caption ? caption : "");
}

namespace dl_test {

std::vector<std::pair<std::string, std::string>> messages() {
  std::lock_guard<std::mutex> g(g_lock);
  return g_messages;
}

void clear_messages() {
  std::lock_guard<std::mutex> g(g_lock);
  g_messages.clear();
}

}  // namespace dl_test
