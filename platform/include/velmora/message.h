// Message boxes and debugger output from the libraries.
//
// A library never owns a window. When the host program exports
//   extern "C" void velmora_message_box(const char* text, const char* caption);
// the message goes there (the viewer shows it as a dialog); otherwise it is
// written to standard error. Debugger output goes to standard error only when
// the environment variable VELMORA_DEBUG is set.
#pragma once
#include "velmora/api.h"

VP_NAMESPACE_BEGIN

void message_box(const char* text, const char* caption);
void debug_output(const char* text);
// printf-style debugger output; formatted only when debugger output is on.
void debug_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
bool debug_output_enabled();

// Tests count the message boxes shown without a host hook.
int message_box_count();

VP_NAMESPACE_END
