// brinlib's debug log: off at start, switched on for a drive letter by
// brin_log_sw, one line per entry (see velmora/debuglog.h for the file).
#pragma once
#include <cstdint>
#include <initializer_list>

namespace brin {

void log_entry(const char* label, std::initializer_list<uint32_t> args);
// The drive letter the log writes to, or 0 when it is off.
int log_drive();

}  // namespace brin
