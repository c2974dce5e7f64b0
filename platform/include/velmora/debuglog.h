// The libraries' debug log: one text file per weekday, reused week by week,
// under a log root per drive letter:
//   $VELMORA_LOG_ROOT/<letter>/unit_/log/hcxxx_<weekday>.log
// The log root defaults to the user's state folder
// ($XDG_STATE_HOME/velmora/log, or ~/.local/state/velmora/log).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "velmora/api.h"

VP_NAMESPACE_BEGIN

std::string log_root();
// Full path of the log file of drive letter 'C'..'F' for weekday 0 (Sunday) to 6.
std::string debug_log_path(char drive_letter, int weekday);

enum class LogWrite { kWritten, kDropped, kDriveUnavailable };

// Appends one entry "/* <mday>/<hh:mm:ss> */  <label>(0x<arg>,...);\n".
// last_mday is the day of month of the previous entry (-1 at start): the same
// day appends; a new day appends only to a file last modified today and
// otherwise starts the file anew. A missing folder is created. The result says
// whether the entry was written, dropped, or the drive letter's folder cannot
// be used at all (the caller then switches its log off).
LogWrite debug_log_write(char drive_letter, int& last_mday, const char* label, const uint32_t* args, size_t arg_count);

VP_NAMESPACE_END
