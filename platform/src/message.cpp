#include "velmora/message.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

// Definitions inside the exported namespace: clang gives a definition the
// visibility of the namespace block it is written in.
VP_NAMESPACE_BEGIN
namespace {

using MessageBoxHook = void (*)(const char*, const char*);
std::atomic<int> g_message_boxes{0};

MessageBoxHook find_hook() {
  // Looked up on every call: the host may load the libraries before it is
  // ready to show dialogs, and the lookup is cheap next to a dialog.
  return reinterpret_cast<MessageBoxHook>(dlsym(RTLD_DEFAULT, "velmora_message_box"));
}

}  // namespace

void message_box(const char* text, const char* caption) {
  g_message_boxes.fetch_add(1);
  if (MessageBoxHook hook = find_hook()) {
    hook(text ? text : "", caption ? caption : "");
    return;
  }
  std::fprintf(stderr, "[%s] %s\n", caption ? caption : "", text ? text : "");
}

int message_box_count() { return g_message_boxes.load(); }

bool debug_output_enabled() {
  static const bool enabled = std::getenv("VELMORA_DEBUG") != nullptr;
  return enabled;
}

void debug_output(const char* text) {
  if (debug_output_enabled() && text) std::fputs(text, stderr);
}

void debug_printf(const char* format, ...) {
  if (!debug_output_enabled()) return;
  va_list ap;
  va_start(ap, format);
  std::vfprintf(stderr, format, ap);
  va_end(ap);
}

VP_NAMESPACE_END
