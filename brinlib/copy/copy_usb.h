// The copy of a time span of the attached recorder disk into a folder (a USB
// stick or any folder of the PC) as a copy's three files, run by its own
// thread while the viewer polls the progress.
//
// Status values: 0 to 100 progress while the copy runs; at the end 100
// complete, 101 read failure or no data at the start, 102 stopped, 103 the
// data could not be written (no space, write error), 104 the index or list
// could not be written. A copy that fails leaves consistent files: the index
// holds records only for GOPs whose frames are whole in the data file, and the
// data file ends with the last indexed GOP.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

namespace brin::copy {

// hdd_copy_usb's refusal of a folder that already holds a file of a copy
// (or a symlink by such a name): an earlier copy is never overwritten.
inline constexpr int32_t kFolderHoldsCopy = -2;

inline constexpr int32_t kComplete = 100;
inline constexpr int32_t kReadFailure = 101;
inline constexpr int32_t kStopped = 102;
inline constexpr int32_t kDataWriteFailure = 103;
inline constexpr int32_t kIndexWriteFailure = 104;
// What hdd_copy_usb_get_sts reports for a completed copy.
inline constexpr int32_t kReportedComplete = 200;

// The data file stays below 2 GiB, and at least 1 MiB of the destination
// stays free.
inline constexpr uint64_t kMaxDataBytes = 0x80000000u;
inline constexpr int64_t kReserveKb = 1024;

// Free space of the folder's file system in KB, -1 when unknown.
int64_t free_space_kb(const std::string& folder);

}  // namespace brin::copy

namespace brin::copy::testing {

// Replaces the free-space query (an empty function restores statvfs).
void set_free_space_query(std::function<int64_t(const std::string& folder)> query);
// Called by the copy thread after each GOP it wrote, with the count so far.
void set_gop_hook(std::function<void(int gops)> hook);
// Waits for a copy thread that has ended and joins it.
void join_copy();

}  // namespace brin::copy::testing
