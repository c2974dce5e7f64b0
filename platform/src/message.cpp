#include "velmora/message.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

VP_NAMESPACE_BEGIN  // exported (clang applies the namespace's visibility only here)
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
  // Without a host that shows dialogs (the command-line tools, a test), the
  // text is a diagnostic like any other: the host reports the failure from
  // the result code in its own words.
  debug_printf("[%s] %s\n", caption ? caption : "", text ? text : "");
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

}  // namespace vp
