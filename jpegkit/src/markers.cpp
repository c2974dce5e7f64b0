#include "markers.h"

#include <cstring>

#include "codes.h"

namespace jk {
namespace {

enum Marker : uint8_t {
  SOF0 = 0xC0,
  SOF1 = 0xC1,
  DHT = 0xC4,
  JPG = 0xC8,
  DAC = 0xCC,
  RST0 = 0xD0,
  RST7 = 0xD7,
  SOI = 0xD8,
  EOI = 0xD9,
  SOS = 0xDA,
  DQT = 0xDB,
  DNL = 0xDC,
  DRI = 0xDD,
  DHP = 0xDE,
  EXP = 0xDF,
  APP0 = 0xE0,
  APP14 = 0xEE,
  COM = 0xFE,
  TEM = 0x01,
};

bool is_sof(uint8_t m) { return m >= 0xC0 && m <= 0xCF && m != DHT && m != JPG && m != DAC; }

// Reads the next marker code: skips bytes up to a 0xFF, then the fill bytes.
// Stray data and restart markers between segments are skipped too, as a
// decoder of damaged files must.
bool next_marker(Source& src, uint8_t& m) {
  for (;;) {
    uint8_t b;
    if (!src.read_u8(b)) return false;
    if (b != 0xFF) continue;
    do {
      if (!src.read_u8(b)) return false;
    } while (b == 0xFF);
    if (b == 0x00) continue;  // stuffed byte of coded data
    if (b >= RST0 && b <= RST7) continue;
    m = b;
    return true;
  }
}

int32_t read_dqt(Source& src, Header& hdr, int len) {
  while (len > 0) {
    uint8_t pq_tq;
    if (!src.read_u8(pq_tq)) return kBadSegment;
    len -= 1;
    int pq = pq_tq >> 4, tq = pq_tq & 15;
    if (pq > 1 || tq > 3) return kBadTable;
    int need = 64 * (pq + 1);
    if (len < need) return kBadSegment;
    uint8_t raw[128];
    if (!src.read(raw, need)) return kBadSegment;
    len -= need;
    for (int k = 0; k < 64; ++k)
      hdr.quant[tq][k] = pq ? static_cast<uint16_t>(raw[2 * k] << 8 | raw[2 * k + 1]) : raw[k];
    hdr.quant_defined[tq] = true;
    hdr.quant_precision[tq] = static_cast<uint8_t>(pq);
  }
  return len == 0 ? kScanFound : kBadSegment;
}

int32_t read_dht(Source& src, Header& hdr, int len) {
  while (len > 0) {
    uint8_t tc_th;
    if (len < 17 || !src.read_u8(tc_th)) return kBadSegment;
    int tc = tc_th >> 4, th = tc_th & 15;
    if (tc > 1 || th > 3) return kBadTable;
    HuffSpec spec;
    int count = 0;
    for (int l = 1; l <= 16; ++l) {
      if (!src.read_u8(spec.bits[l])) return kBadSegment;
      count += spec.bits[l];
    }
    len -= 17;
    if (count > 256) return kBadTable;
    if (len < count) return kBadSegment;
    if (!src.read(spec.vals, count)) return kBadSegment;
    len -= count;
    spec.count = count;
    spec.defined = true;
    if (!huffman_spec_valid(spec)) return kBadTable;
    (tc ? hdr.ac : hdr.dc)[th] = spec;
  }
  return len == 0 ? kScanFound : kBadSegment;
}

int32_t read_sof(Source& src, Header& hdr, uint8_t marker, int len) {
  if (marker != SOF0 && marker != SOF1) return kUnsupportedProcess;
  uint8_t p[6];
  if (len < 6 || !src.read(p, 6)) return kBadSegment;
  if (p[0] != 8) return kUnsupportedProcess;
  Frame f;
  f.present = true;
  f.marker = marker;
  f.height = p[1] << 8 | p[2];
  f.width = p[3] << 8 | p[4];
  f.ncomp = p[5];
  if (f.ncomp != 3) return kNotColour;
  if (len != 6 + 3 * f.ncomp) return kBadSegment;
  if (f.width == 0 || f.height == 0) return kBadFrame;
  int blocks = 0;
  for (int i = 0; i < f.ncomp; ++i) {
    uint8_t c[3];
    if (!src.read(c, 3)) return kBadSegment;
    Component& comp = f.comp[i];
    comp.id = c[0];
    comp.h = c[1] >> 4;
    comp.v = c[1] & 15;
    comp.tq = c[2];
    if (comp.h < 1 || comp.h > 4 || comp.v < 1 || comp.v > 4 || comp.tq > 3) return kBadFrame;
    for (int j = 0; j < i; ++j)
      if (f.comp[j].id == comp.id) return kBadFrame;
    blocks += comp.h * comp.v;
    if (comp.h > f.hmax) f.hmax = comp.h;
    if (comp.v > f.vmax) f.vmax = comp.v;
  }
  if (blocks > 10) return kBadFrame;
  // Upsampling works in whole factors only.
  for (int i = 0; i < f.ncomp; ++i)
    if (f.hmax % f.comp[i].h || f.vmax % f.comp[i].v) return kUnsupportedProcess;
  f.mcux = (f.width + 8 * f.hmax - 1) / (8 * f.hmax);
  f.mcuy = (f.height + 8 * f.vmax - 1) / (8 * f.vmax);
  if (hdr.frame.present) {
    // A repeated frame header (a second field) must describe the same frame.
    const Frame& o = hdr.frame;
    bool same = o.width == f.width && o.height == f.height && o.ncomp == f.ncomp;
    for (int i = 0; same && i < f.ncomp; ++i)
      same = o.comp[i].id == f.comp[i].id && o.comp[i].h == f.comp[i].h && o.comp[i].v == f.comp[i].v &&
             o.comp[i].tq == f.comp[i].tq;
    if (!same) return kBadFrame;
  }
  hdr.frame = f;
  return kScanFound;
}

int32_t read_sos(Source& src, Header& hdr, int len) {
  if (!hdr.frame.present) return kBadScan;
  uint8_t ns;
  if (len < 1 || !src.read_u8(ns)) return kBadSegment;
  if (ns < 1 || ns > 4 || ns > hdr.frame.ncomp) return kBadScan;
  if (len != 4 + 2 * ns) return kBadSegment;
  ScanHeader s;
  s.ncomp = ns;
  int last = -1;
  for (int i = 0; i < ns; ++i) {
    uint8_t c[2];
    if (!src.read(c, 2)) return kBadSegment;
    int index = -1;
    for (int j = 0; j < hdr.frame.ncomp; ++j)
      if (hdr.frame.comp[j].id == c[0]) index = j;
    // Components of a scan appear in frame order, each once.
    if (index <= last) return kBadScan;
    last = index;
    s.comp[i] = index;
    s.td[i] = c[1] >> 4;
    s.ta[i] = c[1] & 15;
    if (s.td[i] > 3 || s.ta[i] > 3) return kBadScan;
  }
  uint8_t p[3];
  if (!src.read(p, 3)) return kBadSegment;
  // Sequential scans code all 64 coefficients at full precision.
  if (p[0] != 0 || p[1] != 63 || p[2] != 0) return kBadScan;
  hdr.scan = s;
  hdr.scan_data_pos = src.tell();
  return kScanFound;
}

// Reads segments from the current position up to a scan header.
int32_t read_segments(Source& src, Header& hdr, bool after_scan) {
  for (;;) {
    int64_t marker_pos = src.tell();
    uint8_t m;
    if (!next_marker(src, m)) return after_scan ? kTruncatedData : kBadSegment;
    marker_pos = src.tell() - 2;
    if (m == EOI) return after_scan ? kTruncatedData : kBadSegment;
    if (m == SOI || m == TEM) continue;  // no length field
    uint16_t len;
    if (!src.read_u16(len)) return kBadSegment;
    if (len < 2) return kBadSegment;
    int data = len - 2;
    int32_t r = kScanFound;
    if (m == DQT) {
      r = read_dqt(src, hdr, data);
    } else if (m == DHT) {
      r = read_dht(src, hdr, data);
    } else if (is_sof(m)) {
      r = read_sof(src, hdr, m, data);
    } else if (m == DAC || m == DHP || m == EXP) {
      r = kUnsupportedProcess;
    } else if (m == DRI) {
      uint16_t ri;
      if (data != 2 || !src.read_u16(ri)) return kBadSegment;
      hdr.restart_interval = ri;
    } else if (m == SOS) {
      hdr.scan_marker_pos = marker_pos;
      return read_sos(src, hdr, data);
    } else {
      // Application, comment and other segments: only looked at. A short one
      // (length 8 or 12) carries the field mode of the next scan in its third
      // data byte.
      uint8_t head[12] = {};
      int peek = data < 12 ? data : 12;
      if (!src.read(head, peek)) return kBadSegment;
      if (len == 8 || len == 12) hdr.field_mode = head[2];
      if (m == APP0 && data >= 5 && std::memcmp(head, "JFIF\0", 5) == 0) hdr.jfif = true;
      if (m == APP14 && data >= 12 && std::memcmp(head, "Adobe", 5) == 0) hdr.adobe_transform = head[11];
      if (!src.skip(data - peek)) return kBadSegment;
    }
    if (r != kScanFound) return r;
  }
}

}  // namespace

int32_t parse_first_scan(Source& src, Header& hdr) {
  hdr.field_mode = kFieldModeNone;
  uint8_t soi[2];
  if (!src.read(soi, 2) || soi[0] != 0xFF || soi[1] != SOI) return kNoStartOfImage;
  return read_segments(src, hdr, false);
}

int32_t parse_next_scan(Source& src, Header& hdr) { return read_segments(src, hdr, true); }

bool huffman_spec_valid(const HuffSpec& spec) {
  // Canonical codes (T.81 Annex C): after the codes of length l the next code
  // must still fit in l bits.
  uint32_t code = 0;
  int count = 0;
  for (int l = 1; l <= 16; ++l) {
    code += spec.bits[l];
    count += spec.bits[l];
    if (code > (1u << l)) return false;
    code <<= 1;
  }
  return count == spec.count;
}

bool components_are_rgb(const Header& hdr) {
  if (hdr.adobe_transform >= 0) return hdr.adobe_transform == 0;
  if (hdr.jfif) return false;
  const Frame& f = hdr.frame;
  return f.comp[0].id == 'R' && f.comp[1].id == 'G' && f.comp[2].id == 'B';
}

}  // namespace jk
