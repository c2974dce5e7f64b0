// Marker segments of a JPEG stream (T.81 Annex B): start of image, tables,
// frame and scan headers, restart interval, and the comment and application
// segments, one of which may carry the field mode of the next scan.
#pragma once
#include <cstdint>

#include "source.h"

namespace jk {

struct HuffSpec {
  bool defined = false;
  uint8_t bits[17] = {};  // bits[l]: number of codes of length l (1..16)
  uint8_t vals[256] = {};
  int count = 0;
};

struct Component {
  uint8_t id = 0;
  uint8_t h = 1, v = 1;  // sampling factors
  uint8_t tq = 0;        // quantisation table
};

struct Frame {
  bool present = false;
  uint8_t marker = 0;  // 0xC0 baseline or 0xC1 extended sequential
  int width = 0, height = 0, ncomp = 0;
  Component comp[4];
  int hmax = 1, vmax = 1;
  int mcux = 0, mcuy = 0;  // MCUs per row and per column of an interleaved scan
};

struct ScanHeader {
  int ncomp = 0;
  int comp[4] = {};  // index into Frame::comp, in frame order
  int td[4] = {}, ta[4] = {};
};

// Field mode when no segment sets it: rows in order.
constexpr int kFieldModeNone = 4;

struct Header {
  Frame frame;
  uint16_t quant[4][64] = {};  // in zig-zag order
  bool quant_defined[4] = {};
  uint8_t quant_precision[4] = {};
  HuffSpec dc[4], ac[4];
  int restart_interval = 0;
  int field_mode = kFieldModeNone;
  bool jfif = false;
  int adobe_transform = -1;  // -1: no Adobe segment
  ScanHeader scan;
  int64_t scan_data_pos = 0;    // where the scan's coded data start
  int64_t scan_marker_pos = 0;  // where the scan's SOS marker starts
};

// Value returned when a scan header has been read (codes are 0 or negative).
constexpr int32_t kScanFound = 1;

// Reads a start-of-image marker at the current position and the segments up
// to and including the first scan header.
int32_t parse_first_scan(Source& src, Header& hdr);
// After a scan: skips to the next marker and reads the segments up to and
// including the next scan header. An end-of-image marker gives
// kTruncatedData (the picture or its second field is incomplete).
int32_t parse_next_scan(Source& src, Header& hdr);

// Whether the Huffman table data describe a valid prefix code.
bool huffman_spec_valid(const HuffSpec& spec);

// Whether the three components carry RGB rather than YCbCr.
bool components_are_rgb(const Header& hdr);

}  // namespace jk
