#include "multipic.h"

#include <cstring>

#include "codes.h"
#include "source.h"
#include "tables.h"

namespace jk {
namespace {

// The scan header every record carries: components 1, 2, 3; Y with Huffman
// tables 0/0, Cb and Cr with 1/1; all 64 coefficients.
constexpr uint8_t kRecordScan[14] = {0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x01, 0x00,
                                     0x02, 0x11, 0x03, 0x11, 0x00, 0x3F, 0x00};
constexpr int kRecordTd[3] = {0, 1, 1};

const HuffSpec& dc_table(const Header& h, int t) { return h.dc[t].defined ? h.dc[t] : standard_dc(t > 0); }
const HuffSpec& ac_table(const Header& h, int t) { return h.ac[t].defined ? h.ac[t] : standard_ac(t > 0); }
bool same_spec(const HuffSpec& a, const HuffSpec& b) {
  return a.count == b.count && std::memcmp(a.bits, b.bits, sizeof a.bits) == 0 &&
         std::memcmp(a.vals, b.vals, a.count) == 0;
}

// Whether the file's own frame and scan fit the record's scan header.
bool fits_record_layout(const Header& h) {
  const Frame& f = h.frame;
  for (int i = 0; i < 3; ++i)
    if (f.comp[i].id != i + 1) return false;
  return true;
}

void append_record(std::vector<uint8_t>& out, const AppendSource& src) {
  size_t data = src.data_end - src.data_begin;
  size_t padded = (data + 3) & ~size_t{3};
  size_t words = padded / 4;
  const uint8_t comment[10] = {
      0xFF, 0xFE, 0x00, 0x08, 0x00, 0x00, 0x04, 0x00, static_cast<uint8_t>(words), static_cast<uint8_t>(words >> 8)};
  out.insert(out.end(), comment, comment + 10);
  out.insert(out.end(), kRecordScan, kRecordScan + 14);
  out.insert(out.end(), src.bytes.begin() + src.data_begin, src.bytes.begin() + src.data_end);
  out.insert(out.end(), padded - data, 0xFF);
}

}  // namespace

int32_t prepare_source(AppendSource& src) {
  Source in;
  in.open_memory(src.bytes.data(), src.bytes.size());
  int32_t r = parse_first_scan(in, src.hdr);
  if (r == kNotColour) return kAppendNotColour;
  if (r != kScanFound) return r;
  // One interleaved scan of all three components.
  if (src.hdr.scan.ncomp != 3) return kAppendTablesDiffer;
  for (int i = 0; i < 3; ++i) {
    const ScanHeader& s = src.hdr.scan;
    if ((s.td[i] > 1 && !src.hdr.dc[s.td[i]].defined) || (s.ta[i] > 1 && !src.hdr.ac[s.ta[i]].defined))
      return kBadTable;
    if (!src.hdr.quant_defined[src.hdr.frame.comp[i].tq]) return kBadTable;
  }
  src.header_bytes = static_cast<size_t>(src.hdr.scan_marker_pos);
  src.data_begin = static_cast<size_t>(src.hdr.scan_data_pos);
  // The coded data end with the end-of-image marker, or with a pair of fill
  // bytes; stuffed zeros and restart markers belong to the data.
  const uint8_t* b = src.bytes.data();
  size_t n = src.bytes.size();
  for (size_t i = src.data_begin; i + 1 < n; ++i) {
    if (b[i] != 0xFF) continue;
    if (b[i + 1] == 0xD9 || b[i + 1] == 0xFF) {
      src.data_end = i + 2;
      break;
    }
    ++i;  // skip the byte after 0xFF (stuffing, restart or other marker code)
  }
  if (src.data_end == 0) return kAppendDataTooLong;
  size_t words = (src.data_end - src.data_begin + 3) / 4;
  if (words > static_cast<size_t>(kMaxRecordWords)) return kAppendDataTooLong;
  return 0;
}

int32_t first_file(const AppendSource& src, std::vector<uint8_t>& file) {
  if (src.header_bytes > static_cast<size_t>(kMaxCopiedHeader)) return kAppendHeaderTooLong;
  const Header& h = src.hdr;
  if (!fits_record_layout(h)) return kAppendTablesDiffer;
  // The record's scan header names tables 0/0 and 1/1; the picture must
  // have been coded with those.
  for (int i = 0; i < 3; ++i)
    if (h.scan.td[i] != kRecordTd[i] || h.scan.ta[i] != kRecordTd[i]) return kAppendTablesDiffer;
  file.assign(src.bytes.begin(), src.bytes.begin() + src.header_bytes);
  append_record(file, src);
  return 0;
}

int32_t next_record(const Header& target, const AppendSource& src, std::vector<uint8_t>& record) {
  const Frame& tf = target.frame;
  const Frame& sf = src.hdr.frame;
  if (tf.width != sf.width || tf.height != sf.height) return kAppendSizeDiffers;
  for (int i = 0; i < 3; ++i)
    if (tf.comp[i].h != sf.comp[i].h || tf.comp[i].v != sf.comp[i].v) return kAppendSizeDiffers;
  if (!fits_record_layout(target)) return kAppendTablesDiffer;
  if (target.restart_interval != src.hdr.restart_interval) return kAppendTablesDiffer;
  for (int i = 0; i < 3; ++i) {
    // Quantisation tables of each component.
    int tq = tf.comp[i].tq, sq = sf.comp[i].tq;
    if (!target.quant_defined[tq] || !src.hdr.quant_defined[sq] ||
        std::memcmp(target.quant[tq], src.hdr.quant[sq], sizeof target.quant[tq]) != 0)
      return kAppendTablesDiffer;
    // Huffman tables: the target's tables that the record names against the
    // source's tables that coded the data.
    if (!same_spec(dc_table(target, kRecordTd[i]), dc_table(src.hdr, src.hdr.scan.td[i])) ||
        !same_spec(ac_table(target, kRecordTd[i]), ac_table(src.hdr, src.hdr.scan.ta[i])))
      return kAppendTablesDiffer;
  }
  record.clear();
  append_record(record, src);
  return 0;
}

}  // namespace jk
