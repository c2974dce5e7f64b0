// Multi-picture JPEG files: one picture's headers, then per picture a
// comment segment with the picture's word count, a start-of-scan segment and
// the coded data padded with 0xFF to whole 32-bit words.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "markers.h"

namespace jk {

constexpr int kRecordHeaderBytes = 24;  // comment (10) and scan header (14)
constexpr int kMaxCopiedHeader = 2000;
constexpr int kMaxRecordWords = 65535;

// Codes of the append operation.
constexpr int32_t kAppendNoSource = -2;
constexpr int32_t kAppendTablesDiffer = -3;
constexpr int32_t kAppendSizeDiffers = -4;
constexpr int32_t kAppendHeaderTooLong = -6;
constexpr int32_t kAppendDataTooLong = -7;
constexpr int32_t kAppendOutOfMemory = -9;
constexpr int32_t kAppendNotColour = -21;

// A source picture read into memory and checked for the record layout.
struct AppendSource {
  std::vector<uint8_t> bytes;
  Header hdr;
  size_t header_bytes = 0;              // bytes before the first scan's marker
  size_t data_begin = 0, data_end = 0;  // coded data through the end marker
};

// Parses src and finds its coded data. Returns 0 or a code.
int32_t prepare_source(AppendSource& src);
// A new multi-picture file holding src alone. Returns 0 or a code.
int32_t first_file(const AppendSource& src, std::vector<uint8_t>& file);
// Checks src against the headers of an existing file and makes its record.
int32_t next_record(const Header& target, const AppendSource& src, std::vector<uint8_t>& record);

}  // namespace jk
