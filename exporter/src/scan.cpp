// The scan of the recorded data for GOP tables, independent of the index.
#include "exporter/scan.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <set>

#include "brinlib_internal.h"
#include "velmora/bytes.h"

namespace exporter {

namespace {

using brin::disk::kGopEntryBytes;
using brin::disk::kGopTableBytes;
using brin::disk::kSectorBytes;

// The data area is read in pieces of this size; each read takes a table's
// length more, so that a table that starts near a piece's end is whole.
constexpr size_t kPieceBytes = 1u << 20;
// Unindexed GOPs further apart than this start a new recovered run.
constexpr UnixSeconds kRunBreakSeconds = 2;

bool time_valid(const vp::RecTime& t) {
  return t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= 31 && t.hour < 24 && t.minute < 60 && t.second < 60;
}

bool all_zero(const uint8_t* p, size_t n) {
  return std::all_of(p, p + n, [](uint8_t b) { return b == 0; });
}

// A GOP entry that a recorder could have written: its checksum holds, its
// time is a time, and its chunk has a size a reader accepts and lies in the
// data area of the disk.
bool entry_plausible(const uint8_t* p, uint64_t disk_sectors) {
  if (!brin::disk::checksum_ok(p, kGopEntryBytes) || all_zero(p, kGopEntryBytes)) return false;
  const brin::disk::GopEntry e = brin::disk::parse_gop(p);
  return time_valid(e.time) && e.size > 0 && e.size <= brin::disk::kMaxChunkBytes &&
         e.sector >= static_cast<uint32_t>(brin::disk::kDataStartSector) && e.sector < disk_sectors;
}

// The GOP tables the index names, with the number of GOPs each record gives.
std::map<uint32_t, int> indexed_tables() {
  std::map<uint32_t, int> out;
  for_each_index_record([&](const IndexedRecord& r) { out[r.gop_sector] = r.gop_count; });
  return out;
}

class Scanner {
 public:
  ScanResult run(const std::function<void(int)>& progress) {
    vp::Drive& drive = brin::disk::drive();
    vp::DriveGeometry g;
    if (!drive.is_open() || !drive.geometry(&g)) {
      r_.error = "no disk is open";
      return r_;
    }
    size_ = g.size_bytes;
    const std::map<uint32_t, int> indexed = indexed_tables();

    std::vector<uint8_t> piece;  // made when there is data to read
    const uint64_t start = static_cast<uint64_t>(brin::disk::kDataStartSector) * kSectorBytes;
    int shown = -1;
    for (uint64_t at = start; at < size_;) {
      // Holes of an image file hold no data: go on where data starts.
      const uint64_t data = drive.next_data(at);
      if (data >= size_) break;
      if (data > at) at = data / kSectorBytes * kSectorBytes;
      // Read no further into a hole than a table that starts before it.
      const uint64_t hole = drive.next_hole(at);
      const uint64_t to_hole = (std::max<uint64_t>(hole, at + 1) - at + kSectorBytes - 1) / kSectorBytes * kSectorBytes;
      const uint64_t wanted = std::min<uint64_t>(kPieceBytes, to_hole);
      const size_t n = static_cast<size_t>(std::min<uint64_t>(wanted + kGopTableBytes, size_ - at));
      piece.resize(kPieceBytes + kGopTableBytes);
      if (drive.read_at(at, piece.data(), n) != vp::kDriveReadOk) {
        r_.unreadable_bytes += std::min<uint64_t>(wanted, n);
      } else {
        r_.bytes_scanned += std::min<uint64_t>(wanted, n);
        for (size_t off = 0; off < wanted && off + kGopTableBytes <= n; off += kSectorBytes) {
          const uint64_t sector = (at + off) / kSectorBytes;
          // The sectors of a table found are its own, not another's start.
          if (sector < next_table_ || !table_plausible(piece.data() + off)) continue;
          add_table(drive, static_cast<uint32_t>(sector), piece.data() + off, indexed);
          next_table_ = sector + (kGopTableBytes + kSectorBytes - 1) / kSectorBytes;
        }
      }
      at += wanted;
      const int percent = static_cast<int>(std::min<uint64_t>(100, (at - start) * 100 / (size_ - start)));
      if (progress && percent != shown) progress(shown = percent);
    }
    for (const auto& [sector, count] : indexed) {
      if (!found_tables_.count(sector)) ++r_.indexed_tables_missing;
    }
    group_recovered();
    r_.ok = true;
    return r_;
  }

 private:
  // A GOP table's used entries come first, one after another, each with a
  // time; at least one of them is an entry a recorder could have written
  // (the others may be damaged). A window that starts inside other data
  // and reaches into a table has other bytes, or zeros, in front of it.
  bool table_plausible(const uint8_t* table) const {
    for (int i = 0; i < brin::disk::kGopEntries; ++i) {
      const uint8_t* p = table + static_cast<size_t>(i) * kGopEntryBytes;
      if (entry_plausible(p, size_ / kSectorBytes)) return true;
      if (all_zero(p, kGopEntryBytes) || !time_valid(brin::disk::parse_gop(p).time)) return false;
    }
    return false;
  }

  void add_table(vp::Drive& drive, uint32_t sector, const uint8_t* table, const std::map<uint32_t, int>& indexed) {
    ++r_.tables;
    found_tables_.insert(sector);
    const auto named = indexed.find(sector);
    for (int i = 0; i < brin::disk::kGopEntries; ++i) {
      const uint8_t* p = table + static_cast<size_t>(i) * kGopEntryBytes;
      if (all_zero(p, kGopEntryBytes)) continue;  // an unused entry
      ScannedGop gop;
      gop.table_sector = sector;
      gop.entry = i;
      const brin::disk::GopEntry e = brin::disk::parse_gop(p);
      gop.time = e.time;
      gop.chunk_sector = e.sector;
      gop.bytes = e.size;
      if (!brin::disk::checksum_ok(p, kGopEntryBytes)) {
        gop.reason = "its entry's checksum is wrong";
      } else if (e.size <= brin::disk::kChunkHeaderBytes || e.size > brin::disk::kMaxChunkBytes) {
        gop.reason = "its chunk size is not one a reader accepts";
      } else if (uint64_t{e.sector} * kSectorBytes + e.size > size_) {
        gop.reason = "its chunk lies past the end of the disk";
      } else {
        check_frames(drive, &gop);
      }
      if (gop.reason.empty())
        gop.state = named != indexed.end() && i < named->second ? GopState::kListed : GopState::kUnindexed;
      ++(gop.state == GopState::kListed ? r_.listed : gop.state == GopState::kUnindexed ? r_.unindexed : r_.damaged);
      r_.gops.push_back(std::move(gop));
    }
  }

  // Reads the chunk and walks its frame headers; a chunk whose frames do
  // not hold together is damaged.
  void check_frames(vp::Drive& drive, ScannedGop* gop) {
    chunk_.resize(gop->bytes);
    if (drive.read_at(uint64_t{gop->chunk_sector} * kSectorBytes, chunk_.data(), chunk_.size()) != vp::kDriveReadOk) {
      gop->reason = "its chunk cannot be read";
      return;
    }
    const int frames = chunk_[brin::disk::kChunkFrameCountByte];
    size_t pos = brin::disk::kChunkHeaderBytes;
    int walked = 0;
    for (; walked < frames && pos + brin::disk::kFrameHeaderBytes <= chunk_.size(); ++walked) {
      const uint8_t* h = chunk_.data() + pos;
      const uint16_t marker = vp::le16(h);
      if (marker == brin::disk::kEndMarker) break;
      const uint32_t payload = vp::le32(h + 16);
      if ((marker != brin::disk::kVideoMarker && marker != brin::disk::kAudioMarker) ||
          payload > chunk_.size() - pos - brin::disk::kFrameHeaderBytes) {
        gop->reason = "its frame headers are damaged";
        return;
      }
      if (marker == brin::disk::kVideoMarker) gop->cameras |= static_cast<uint16_t>(1u << (h[34] & 15));
      pos += brin::disk::kFrameHeaderBytes + payload;
    }
    if (walked == 0) gop->reason = "its chunk holds no frame";
  }

  // Each camera's unindexed GOPs in time order, cut where time jumps.
  void group_recovered() {
    for (int camera = 0; camera < 16; ++camera) {
      std::vector<UnixSeconds> times;
      for (const ScannedGop& g : r_.gops) {
        if (g.state == GopState::kUnindexed && (g.cameras & (1u << camera))) times.push_back(unix_from_rec(g.time));
      }
      std::sort(times.begin(), times.end());
      for (const UnixSeconds t : times) {
        RecoveredRun* last =
            r_.recovered.empty() || r_.recovered.back().camera != camera + 1 ? nullptr : &r_.recovered.back();
        if (last && t - last->end <= kRunBreakSeconds) {
          last->end = t;
          ++last->gops;
        } else {
          r_.recovered.push_back(RecoveredRun{camera + 1, t, t, 1});
        }
      }
    }
  }

  ScanResult r_;
  uint64_t size_ = 0;
  uint64_t next_table_ = 0;  // the first sector a table may start at
  std::vector<uint8_t> chunk_;
  std::set<uint32_t> found_tables_;
};

// The unindexed GOPs, oldest first, each read and walked as the disk's
// readers do.
class RecoveredSource : public GopSource {
 public:
  RecoveredSource(const ScanResult& scan, uint32_t from, uint32_t to) {
    for (const ScannedGop& g : scan.gops) {
      const uint32_t at = vp::rec_seconds(g.time);
      if (g.state == GopState::kUnindexed && at >= from && at <= to) gops_.push_back(g);
    }
    std::stable_sort(gops_.begin(), gops_.end(), [](const ScannedGop& a, const ScannedGop& b) {
      return vp::rec_seconds(a.time) < vp::rec_seconds(b.time);
    });
    for (const RecoveredRun& r : scan.recovered) {
      const UnixSeconds start = std::max(r.start, unix_from_rec(vp::rec_time_from_seconds(from)));
      const UnixSeconds end = std::min(r.end, unix_from_rec(vp::rec_time_from_seconds(to)));
      if (start <= end) runs_.push_back(Span{start, end, "Recovered, camera " + std::to_string(r.camera)});
    }
  }

  int next(SourceGop* gop) override {
    if (at_ >= gops_.size()) return 0;
    const ScannedGop& g = gops_[at_++];
    gop->time = g.time;
    gop->recovered = true;
    gop->stored.clear();
    gop->made_frames = false;
    gop->damaged = !read_scanned_gop(g, &gop->frames);
    return 1;
  }

  std::string description() const override { return "recovered GOPs of recorder disk"; }
  std::vector<Span> runs() const override { return runs_; }
  int percent_done() const override { return gops_.empty() ? 100 : static_cast<int>(at_ * 100 / gops_.size()); }

 private:
  std::vector<ScannedGop> gops_;
  std::vector<Span> runs_;
  size_t at_ = 0;
};

}  // namespace

bool read_scanned_gop(const ScannedGop& g, std::vector<uint8_t>* frames) {
  static thread_local std::vector<uint8_t> buffer(brin::disk::kFrameBufferBytes);
  brin::disk::GopEntry entry;
  entry.time = g.time;
  entry.size = g.bytes;
  entry.sector = g.chunk_sector;
  int32_t len = 0;
  int r;
  {
    std::lock_guard<std::mutex> lock(brin::disk::cursor_lock());
    r = brin::disk::read_frame_chunk(entry, buffer.data(), buffer.size(), &len);
  }
  const bool ok = r >= 0 && len >= 0 && static_cast<size_t>(len) <= buffer.size();
  frames->assign(buffer.data(), buffer.data() + (ok ? len : 0));
  return ok;
}

void for_each_index_record(const std::function<void(const IndexedRecord&)>& visit) {
  std::lock_guard<std::mutex> lock(brin::disk::cursor_lock());
  // The index as the readers take it: the copy chosen by the write
  // generation, falling back to the others.
  brin::disk::load_index_state(brin::disk::Positioning::kOldest);
  const brin::disk::BlockHeader h = brin::disk::block_header();
  const int cursor_block = brin::disk::cursor().block;
  for (int k = 0; k < h.count && k < brin::disk::kBlockRing; ++k) {
    const int b = (h.oldest + k) % brin::disk::kBlockRing;
    if (!brin::disk::block_entry_valid(b) || !brin::disk::load_index_block(b)) continue;
    const brin::disk::BlockEntry e = brin::disk::block_entry(b);
    for (int r = e.first_record; r <= e.last_record && r < brin::disk::kRecordsPerBlock; ++r) {
      brin::disk::IndexRecord rec;
      if (brin::disk::index_record(b, r, &rec)) visit(IndexedRecord{b, r, rec.time, rec.gop_sector, rec.gop_count});
    }
  }
  // The cursor's block goes back into the buffer for the readers.
  brin::disk::load_index_block(cursor_block);
}

std::unique_ptr<GopSource> open_recovered(const ScanResult& scan, uint32_t from, uint32_t to) {
  return std::make_unique<RecoveredSource>(scan, from, to);
}

ScanResult scan_disk(const std::function<void(int)>& progress) { return Scanner().run(progress); }

}  // namespace exporter
