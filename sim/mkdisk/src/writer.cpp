// Lays out what the recorder recorded (runs of GOPs in index records, the
// rings that describe them) and writes it as a sparse disk image.
#include <algorithm>
#include <cstring>
#include <map>
#include <random>

#include "zebdisk/disk_image.h"
#include "zebsim/packets.h"

namespace zebdisk {
namespace {

constexpr uint32_t kGopTableSectors = 3;  // 1280 bytes
constexpr int kAudioSamples = 160;        // 20 ms of 8 kHz A-law
constexpr int kAudioHeaderBytes = 8;

uint32_t sectors_of(uint64_t bytes) { return static_cast<uint32_t>((bytes + kSectorBytes - 1) / kSectorBytes); }

bool contains(const std::vector<int>& v, int x) { return std::find(v.begin(), v.end(), x) != v.end(); }
bool contains(const std::vector<std::pair<int, int>>& v, int a, int b) {
  return std::find(v.begin(), v.end(), std::make_pair(a, b)) != v.end();
}

// The video of one camera: the pictures of its clip, each group starting on
// an intra picture with the stream headers in front, or small generated
// pictures.
struct CameraVideo {
  std::vector<std::vector<uint8_t>> pictures;
  std::vector<size_t> intra;  // indexes of intra pictures
  std::vector<uint8_t> headers;

  std::vector<uint8_t> picture(int gop, int p, int camera) const {
    if (pictures.empty()) {
      // A stand-in VOP: start code, coding type (I first, then P), filler.
      std::vector<uint8_t> v = {0x00, 0x00, 0x01, 0xB6, static_cast<uint8_t>(p == 0 ? 0x00 : 0x40)};
      for (int i = 0; i < 27; ++i) v.push_back(static_cast<uint8_t>(gop * 7 + p * 13 + camera * 31 + i));
      return v;
    }
    const size_t start = intra.empty() ? 0 : intra[static_cast<size_t>(gop) % intra.size()];
    const size_t index = std::min(start + static_cast<size_t>(p), pictures.size() - 1);
    std::vector<uint8_t> v;
    if (p == 0 && index != 0) v = headers;
    v.insert(v.end(), pictures[index].begin(), pictures[index].end());
    return v;
  }
};

bool load_clip(const std::string& path, CameraVideo* out, std::string* error) {
  const std::vector<uint8_t> es = zebsim::read_binary_file(path);
  const std::vector<zebsim::EsPicture> pics = zebsim::split_pictures(es);
  if (pics.empty()) {
    *error = "no MPEG-4 pictures in " + path;
    return false;
  }
  for (size_t i = 0; i < pics.size(); ++i) {
    out->pictures.emplace_back(es.begin() + static_cast<long>(pics[i].offset),
                               es.begin() + static_cast<long>(pics[i].offset + pics[i].size));
    if (pics[i].coding_type == 1) out->intra.push_back(i);
  }
  // The stream headers: the first picture's bytes before its VOP start code.
  const std::vector<uint8_t>& first = out->pictures[0];
  for (size_t i = 0; i + 3 < first.size(); ++i) {
    if (first[i] == 0 && first[i + 1] == 0 && first[i + 2] == 1 && first[i + 3] == 0xB6) {
      out->headers.assign(first.begin(), first.begin() + static_cast<long>(i));
      break;
    }
  }
  return true;
}

struct Layout {
  struct Gop {
    RecTime time;
    int index_in_disk = 0;
  };
  struct Record {
    int run = 0, index_in_run = 0;
    int block = 0, record = 0;
    std::vector<Gop> gops;
  };
  std::vector<Record> records;
  std::vector<std::pair<int, int>> run_records;  // first record, count per run
};

struct BlockUse {
  int first_record = 0, last_record = 0, count = 0;
  int first_attr = 0, last_attr = 0;
  RecTime first_time, last_time;
};

class Writer {
 public:
  Writer(const DiskSpec& spec, Manifest* m, std::string* error) : spec_(spec), m_(*m), error_(*error) {}

  bool run(const std::string& path) {
    if (!check_spec() || !load_payloads() || !lay_out()) return false;
    image_bytes_ = spec_.cylinders * kCylinderBytes;
    image_sectors_ = image_bytes_ / kSectorBytes;
    if (!image_.create(path, image_bytes_)) return fail("cannot create " + path);
    m_.path = path;
    m_.image_bytes = image_bytes_;
    if (!write_data() || !write_management() || !write_pictures() || !apply_damage()) return false;
    if (spec_.truncate_sectors) {
      if (!image_.truncate(spec_.truncate_sectors * kSectorBytes)) return fail("cannot cut the image short");
      m_.image_bytes = spec_.truncate_sectors * kSectorBytes;
    }
    m_.written_bytes = image_.written_bytes();
    if (!image_.close()) return fail("cannot close " + path);
    return true;
  }

 private:
  bool fail(const std::string& message) {
    error_ = message;
    return false;
  }

  bool check_spec() {
    if (spec_.cameras < 1 || spec_.cameras > 16) return fail("cameras must be 1 to 16");
    if (spec_.pictures_per_gop < 1 || spec_.pictures_per_gop > 64) return fail("pictures_per_gop must be 1 to 64");
    const int streams = spec_.per_camera_streams ? spec_.cameras : 1;
    if (spec_.audio_per_gop < 0 || spec_.pictures_per_gop * streams + spec_.audio_per_gop > 254)
      return fail("a chunk holds at most 254 frames");
    if (spec_.gop_ms < 1 || spec_.gop_ms > 60000) return fail("gop_ms must be 1 to 60000");
    if (spec_.gops_per_record < 1 || spec_.gops_per_record > kGopEntries)
      return fail("gops_per_record must be 1 to 40");
    if (spec_.start_block < 0 || spec_.start_block >= kBlockRing || spec_.start_record < 0 ||
        spec_.start_record >= kRecordsPerBlock)
      return fail("start block or record out of range");
    if (spec_.runs.size() > static_cast<size_t>(kListRing)) return fail("at most 1000 runs");
    if (spec_.alarms.size() > static_cast<size_t>(kAlarmRing)) return fail("at most 50 alarms");
    if (spec_.cylinders < 1) return fail("the image needs at least one cylinder");
    for (const RunSpec& r : spec_.runs) {
      if (vp::compare_rec_time(r.start, r.end) > 0) return fail("a run ends before it starts");
      if (r.attribute < 0 || r.attribute >= kAttrRing) return fail("attributes are 0 to 99");
    }
    return true;
  }

  bool load_payloads() {
    streams_ = spec_.per_camera_streams ? spec_.cameras : 1;
    video_.resize(static_cast<size_t>(streams_));
    for (int c = 0; c < streams_; ++c) {
      std::string clip;
      if (static_cast<size_t>(c) < spec_.clips.size()) clip = spec_.clips[static_cast<size_t>(c)];
      if (clip.empty()) clip = folder_clip(spec_, c);
      if (!clip.empty() && !load_clip(clip, &video_[static_cast<size_t>(c)], &error_)) return false;
    }
    if (!spec_.audio.empty()) {
      alaw_ = zebsim::read_binary_file(spec_.audio);
      if (alaw_.empty()) return fail("no A-law samples in " + spec_.audio);
    } else {
      for (int i = 0; i < 400; ++i) alaw_.push_back(static_cast<uint8_t>((i & 1) ? 0xD5 : 0x55));
    }
    return true;
  }

  bool lay_out() {
    int b = spec_.start_block, r = spec_.start_record;
    int blocks_used = 1;
    int gop_number = 0;
    for (size_t ri = 0; ri < spec_.runs.size(); ++ri) {
      const RunSpec& run = spec_.runs[ri];
      std::vector<RecTime> times;
      for (int64_t j = 0;; ++j) {
        const RecTime t = add_seconds(run.start, j * spec_.gop_ms / 1000);
        if (vp::compare_rec_time(t, run.end) > 0) break;
        times.push_back(t);
        if (times.size() > 1000000) return fail("a run holds too many GOPs");
      }
      const int first = static_cast<int>(layout_.records.size());
      for (size_t g = 0; g < times.size(); g += static_cast<size_t>(spec_.gops_per_record)) {
        if (!layout_.records.empty()) {
          if (++r == kRecordsPerBlock) {
            r = 0;
            b = (b + 1) % kBlockRing;
            if (b == spec_.start_block || ++blocks_used > kBlockRing)
              return fail("the recordings overrun the 250 blocks");
          }
        }
        Layout::Record rec;
        rec.run = static_cast<int>(ri);
        rec.index_in_run = static_cast<int>(layout_.records.size()) - first;
        rec.block = b;
        rec.record = r;
        for (size_t k = g; k < times.size() && k < g + static_cast<size_t>(spec_.gops_per_record); ++k)
          rec.gops.push_back({times[k], gop_number++});
        layout_.records.push_back(rec);
      }
      layout_.run_records.emplace_back(first, static_cast<int>(layout_.records.size()) - first);
    }
    return true;
  }

  std::vector<uint8_t> make_chunk(const RecTime& time, int gop_number, bool end_marker, GopInfo* info) {
    std::vector<uint8_t> chunk(kChunkHeaderBytes, 0);
    chunk[0] = 'Z';
    chunk[1] = 'C';
    vp::rec_time_to_bytes(time, &chunk[2]);
    chunk[8] = static_cast<uint8_t>(spec_.cameras);
    const int pictures = spec_.pictures_per_gop;
    const int64_t base_time = unix_seconds(time);
    const int32_t picture_us = static_cast<int32_t>(int64_t{spec_.gop_ms} * 1000 / pictures);
    int frames = 0;
    int audio_sent = 0;
    for (int p = 0; p < pictures; ++p) {
      const int32_t t = static_cast<int32_t>(base_time + int64_t{p} * spec_.gop_ms / pictures / 1000);
      for (int c = 0; c < streams_; ++c) {
        const std::vector<uint8_t> es = video_[static_cast<size_t>(c)].picture(gop_number, p, c);
        zebsim::PacketSpec ps;
        ps.video = true;
        ps.channel = c;
        ps.pts = static_cast<uint64_t>(gop_number) * static_cast<uint64_t>(spec_.gop_ms) * 90 +
                 static_cast<uint64_t>(p) * static_cast<uint64_t>(picture_us) * 9 / 100;
        const std::vector<uint8_t> packet = zebsim::recorder_packet(ps, es.data(), es.size());
        zebsim::FrameSpec fs;
        fs.video = true;
        fs.sequence = static_cast<int16_t>(sequence_[c]++);
        // One camera's own stream names that camera alone; the recorded
        // picture names every camera it shows.
        fs.camera_set = spec_.per_camera_streams ? static_cast<uint8_t>(c < 4 ? 1 << c : 0) : camera_set_of(spec_);
        fs.time = t;
        fs.duration_us = picture_us;
        fs.camera = static_cast<uint8_t>(c);
        const auto offset = static_cast<uint32_t>(chunk.size());
        zebsim::append_frame_record(chunk, fs, packet.data(), packet.size());
        info->frames.push_back({true, c, t, static_cast<uint32_t>(packet.size()), fs.sequence, offset});
        ++frames;
      }
      // Audio frames spread evenly between the pictures.
      const int due = (p + 1) * spec_.audio_per_gop / pictures;
      for (; audio_sent < due; ++audio_sent) {
        std::vector<uint8_t> payload(kAudioHeaderBytes + kAudioSamples, 0);
        payload[0] = 'A';
        payload[1] = 'L';
        payload[2] = static_cast<uint8_t>(kAudioSamples);
        for (int i = 0; i < kAudioSamples; ++i) {
          payload[static_cast<size_t>(kAudioHeaderBytes + i)] = alaw_[audio_pos_++ % alaw_.size()];
        }
        zebsim::FrameSpec fs;
        fs.video = false;
        fs.sequence = static_cast<int16_t>(audio_sequence_++);
        fs.camera_set = 0;
        fs.time = t;
        fs.duration_us = 20000;
        fs.camera = 0;
        const auto offset = static_cast<uint32_t>(chunk.size());
        zebsim::append_frame_record(chunk, fs, payload.data(), payload.size());
        info->frames.push_back({false, 0, t, static_cast<uint32_t>(payload.size()), fs.sequence, offset});
        ++frames;
      }
    }
    info->frame_bytes.assign(chunk.begin() + kChunkHeaderBytes, chunk.end());
    chunk[27] = static_cast<uint8_t>(frames + (end_marker ? 1 : 0));
    if (end_marker) {
      chunk.push_back(0xFF);
      chunk.push_back(0xFF);
      info->expected_result = 1;
    }
    info->byte0 = static_cast<uint8_t>(spec_.cameras >= 8 ? 0xFF : (1 << spec_.cameras) - 1);
    info->byte2 = static_cast<uint8_t>(pictures);
    info->byte27 = static_cast<uint8_t>(spec_.audio_per_gop);
    return chunk;
  }

  bool write_data() {
    uint32_t sector = kDataStartSector;
    const uint32_t past_end = static_cast<uint32_t>(std::min<uint64_t>(image_sectors_ + 4096, 0x7FFFFFF0));
    m_.records.clear();
    for (size_t i = 0; i < layout_.records.size(); ++i) {
      const Layout::Record& lr = layout_.records[i];
      const RunSpec& run = spec_.runs[static_cast<size_t>(lr.run)];
      const std::pair<int, int>& span = layout_.run_records[static_cast<size_t>(lr.run)];
      RecordInfo info;
      info.run = lr.run;
      info.index_in_run = lr.index_in_run;
      info.block = lr.block;
      info.record = lr.record;
      info.time = lr.gops.front().time;
      const bool first_of_run = lr.index_in_run == 0;
      const bool last_of_run = lr.index_in_run == span.second - 1;
      info.status = last_of_run ? 1 : (first_of_run ? 2 : 0);
      info.flags = run.flags;
      if (first_of_run && run.stop_point) info.flags |= 4;
      if (contains(run.hidden_records, lr.index_in_run)) info.flags = 0;
      info.bad = contains(run.bad_records, lr.index_in_run);
      info.table_lost = contains(run.lost_tables, lr.index_in_run);
      info.gop_count = static_cast<int>(lr.gops.size());
      for (const auto& [rec, count] : run.gop_counts)
        if (rec == lr.index_in_run) info.gop_count = count;
      const uint32_t table_sector = sector;
      sector += kGopTableSectors;
      info.gop_sector = info.table_lost ? past_end : table_sector;
      std::vector<uint8_t> table(static_cast<size_t>(kGopEntries * kGopEntryBytes), 0);
      const bool newest_record = i + 1 == layout_.records.size();
      for (size_t g = 0; g < lr.gops.size(); ++g) {
        GopInfo gi;
        gi.time = lr.gops[g].time;
        const bool end_marker = spec_.end_marker && newest_record && g + 1 == lr.gops.size();
        const std::vector<uint8_t> chunk = make_chunk(gi.time, lr.gops[g].index_in_disk, end_marker, &gi);
        if (sector + sectors_of(chunk.size()) >= image_sectors_) return fail("the image is too small for its data");
        gi.sector = sector;
        gi.size = static_cast<uint32_t>(chunk.size());
        if (!image_.write(uint64_t{sector} * kSectorBytes, chunk.data(), chunk.size())) return fail("write failed");
        sector += sectors_of(chunk.size());
        const int gi_index = static_cast<int>(g);
        if (contains(run.lost_chunks, lr.index_in_run, gi_index)) {
          gi.sector = past_end;
          gi.readable = false;
        }
        if (contains(run.huge_chunks, lr.index_in_run, gi_index)) {
          gi.size = kMaxChunkBytes + 4096;
          gi.readable = false;
        }
        if (!gi.readable) {
          gi.expected_result = -1;
          gi.frames.clear();
          gi.frame_bytes.clear();
        }
        gi.bad_entry = contains(run.bad_gops, lr.index_in_run, gi_index);
        GopEntrySpec ge{gi.byte0, gi.byte2, gi.byte27, gi.time, gi.size, gi.sector};
        std::vector<uint8_t> entry = encode_gop(ge);
        if (gi.bad_entry) entry.back() ^= 0xA5;
        std::memcpy(&table[g * kGopEntryBytes], entry.data(), entry.size());
        info.gops.push_back(std::move(gi));
      }
      if (!image_.write(uint64_t{table_sector} * kSectorBytes, table.data(), table.size())) return fail("write failed");
      m_.records.push_back(std::move(info));
    }
    return true;
  }

  // The rings, block directory and index blocks, identical in every copy.
  bool write_management() {
    const std::vector<RecordInfo>& recs = m_.records;
    // Time attributes in order of first use; each follows the one before.
    std::vector<AttrEntrySpec> attrs;
    std::map<int, size_t> attr_slot;
    for (size_t i = 0; i < recs.size(); ++i) {
      const RunSpec& run = spec_.runs[static_cast<size_t>(recs[i].run)];
      const RecTime last_time = recs[i].gops.back().time;
      auto it = attr_slot.find(run.attribute);
      if (it == attr_slot.end()) {
        if (!attrs.empty() && run.attribute != (attrs.back().number + 1) % kAttrRing)
          return fail("each new time attribute must follow the one before (modulo 100)");
        attr_slot[run.attribute] = attrs.size();
        AttrEntrySpec a;
        a.number = run.attribute;
        a.first = recs[i].time;
        a.first_block = recs[i].block;
        a.first_record = static_cast<uint32_t>(recs[i].record);
        attrs.push_back(a);
      } else if (it->second + 1 != attrs.size()) {
        return fail("a time attribute cannot come back after a newer one");
      }
      AttrEntrySpec& a = attrs[attr_slot[run.attribute]];
      a.last = last_time;
      a.last_block = recs[i].block;
      a.last_record = static_cast<uint32_t>(recs[i].record);
    }
    if (attrs.size() > static_cast<size_t>(kAttrRing)) return fail("at most 100 time attributes");

    std::vector<int> block_order;
    std::map<int, BlockUse> blocks;
    for (const RecordInfo& r : recs) {
      const int attr = spec_.runs[static_cast<size_t>(r.run)].attribute;
      auto it = blocks.find(r.block);
      if (it == blocks.end()) {
        block_order.push_back(r.block);
        BlockUse u;
        u.first_record = r.record;
        u.first_attr = attr;
        u.first_time = r.time;
        it = blocks.emplace(r.block, u).first;
      }
      it->second.last_record = r.record;
      it->second.last_attr = attr;
      it->second.last_time = r.gops.back().time;
      ++it->second.count;
    }

    std::vector<uint8_t> attr_table(static_cast<size_t>(kAttrRing) * 28, 0);
    for (const AttrEntrySpec& a : attrs) {
      const std::vector<uint8_t> e = encode_attr(a);
      std::memcpy(&attr_table[static_cast<size_t>(a.number) * 28], e.data(), e.size());
      m_.attributes.push_back({a.number, a.first, a.last, a.first_block, static_cast<int>(a.first_record), a.last_block,
                               static_cast<int>(a.last_record)});
    }
    RingHeaderSpec attr_h;
    if (!attrs.empty()) attr_h = {static_cast<int>(attrs.size()), attrs.front().number, attrs.back().number};

    std::vector<uint8_t> block_table(static_cast<size_t>(kBlockRing) * 26, 0);
    for (const auto& [b, u] : blocks) {
      const std::vector<uint8_t> e = encode_block_entry(
          {u.count, u.first_record, u.last_record, u.first_attr, u.last_attr, u.first_time, u.last_time});
      std::memcpy(&block_table[static_cast<size_t>(b) * 26], e.data(), e.size());
    }
    BlockHeaderSpec block_h;
    if (!block_order.empty()) {
      block_h = {static_cast<int>(block_order.size()), block_order.front(), block_order.back(), block_order.back(),
                 blocks[block_order.back()].last_record};
      m_.oldest_block = block_order.front();
      m_.newest_block = block_order.back();
      m_.blocks = static_cast<int>(block_order.size());
      m_.first_time = blocks[block_order.front()].first_time;
      m_.last_time = blocks[block_order.back()].last_time;
    }

    std::vector<uint8_t> list_table(static_cast<size_t>(kListRing) * 28, 0);
    for (size_t ri = 0; ri < spec_.runs.size(); ++ri) {
      const RunSpec& run = spec_.runs[ri];
      const auto [first, count] = layout_.run_records[ri];
      const RecordInfo& a = recs[static_cast<size_t>(first)];
      const RecordInfo& z = recs[static_cast<size_t>(first + count - 1)];
      RunInfo info;
      info.list_index = (spec_.first_list_index + static_cast<int>(ri)) % kListRing;
      info.attribute = run.attribute;
      info.start = a.time;
      info.end = z.gops.back().time;
      info.start_block = a.block;
      info.start_record = a.record;
      info.end_block = z.block;
      info.end_record = z.record;
      info.kind = run.kind;
      info.continuation = run.continuation;
      info.first_record_info = first;
      info.record_infos = count;
      const std::vector<uint8_t> e =
          encode_list({info.attribute, info.start, info.end, info.start_block, info.end_block,
                       static_cast<uint32_t>(info.start_record), static_cast<uint32_t>(info.end_record), info.kind,
                       info.continuation});
      std::memcpy(&list_table[static_cast<size_t>(info.list_index) * 28], e.data(), e.size());
      m_.runs.push_back(info);
    }
    RingHeaderSpec list_h;
    if (!spec_.runs.empty()) {
      const int n = static_cast<int>(spec_.runs.size());
      list_h = {n, spec_.first_list_index % kListRing, (spec_.first_list_index + n - 1) % kListRing};
    }

    std::vector<uint8_t> alarm_table(static_cast<size_t>(kAlarmRing) * 28, 0);
    for (size_t i = 0; i < spec_.alarms.size(); ++i) {
      const int index = (spec_.first_alarm_index + static_cast<int>(i)) % kAlarmRing;
      const std::vector<uint8_t> e = encode_alarm(spec_.alarms[i].start, spec_.alarms[i].end);
      std::memcpy(&alarm_table[static_cast<size_t>(index) * 28], e.data(), e.size());
      m_.alarms.emplace_back(index, spec_.alarms[i]);
    }
    RingHeaderSpec alarm_h;
    if (!spec_.alarms.empty()) {
      const int n = static_cast<int>(spec_.alarms.size());
      alarm_h = {n, spec_.first_alarm_index % kAlarmRing, (spec_.first_alarm_index + n - 1) % kAlarmRing};
    }

    // Index records, block by block.
    std::map<int, std::vector<uint8_t>> index_blocks;
    for (const RecordInfo& r : recs) {
      std::vector<uint8_t>& bytes = index_blocks[r.block];
      const BlockUse& u = blocks[r.block];
      bytes.resize(static_cast<size_t>(u.last_record - u.first_record + 1) * kRecordBytes, 0);
      std::vector<uint8_t> e = encode_record({r.time, r.gop_sector, r.gop_count, r.flags, r.status});
      if (r.bad) e.back() ^= 0x3C;
      std::memcpy(&bytes[static_cast<size_t>(r.record - u.first_record) * kRecordBytes], e.data(), e.size());
    }

    if (!image_.write_sector(0, encode_settings(spec_.settings))) return fail("write failed");
    for (int c = 0; c < 3; ++c) {
      m_.generation_of_copy[c] = spec_.generations[c];
      if (spec_.omit_copy[c]) continue;
      const uint64_t base = uint64_t{kCopySectors} * static_cast<uint64_t>(c);
      bool ok = image_.write_sector(base + kVolumeOffset, encode_volume(spec_.generations[c]));
      ok = ok && image_.write_sector(base + kAttrHeaderOffset, encode_ring_header(attr_h));
      ok = ok && image_.write_sector(base + kAttrHeaderOffset + 1, attr_table);
      ok = ok && image_.write_sector(base + kBlockHeaderOffset, encode_block_header(block_h));
      ok = ok && image_.write_sector(base + kBlockHeaderOffset + 1, block_table);
      ok = ok && image_.write_sector(base + kListHeaderOffset, encode_ring_header(list_h));
      ok = ok && image_.write_sector(base + kListHeaderOffset + 1, list_table);
      ok = ok && image_.write_sector(base + kAlarmHeaderOffset, encode_alarm_header(alarm_h));
      ok = ok && image_.write_sector(base + kAlarmHeaderOffset + 1, alarm_table);
      for (const auto& [b, bytes] : index_blocks) {
        const uint64_t offset =
            (base + kIndexBlockOffset + uint64_t{kIndexBlockSectors} * static_cast<uint64_t>(b)) * kSectorBytes +
            static_cast<uint64_t>(blocks[b].first_record) * kRecordBytes;
        ok = ok && image_.write(offset, bytes.data(), bytes.size());
      }
      if (!ok) return fail("write failed");
    }
    attr_h_ = attr_h;
    list_h_ = list_h;
    alarm_h_ = alarm_h;
    blocks_ = blocks;
    return true;
  }

  bool write_pictures() {
    for (const PictureAt& p : spec_.pictures) {
      const std::vector<uint8_t> disk = to_disk_order(picture_stream(p.picture));
      if (!image_.write(uint64_t{p.sector} * kSectorBytes, disk.data(), disk.size())) return fail("write failed");
    }
    return true;
  }

  uint64_t area_header_sector(int copy, Area area) const {
    const uint64_t base = uint64_t{kCopySectors} * static_cast<uint64_t>(copy);
    switch (area) {
      case Area::kAttr: return base + kAttrHeaderOffset;
      case Area::kBlock: return base + kBlockHeaderOffset;
      case Area::kList: return base + kListHeaderOffset;
      case Area::kAlarm: return base + kAlarmHeaderOffset;
    }
    return base;
  }

  // Overwrites bytes with a copy whose last (checksum) byte is wrong.
  bool spoil(uint64_t offset, std::vector<uint8_t> bytes) {
    bytes.back() ^= 0x5A;
    return image_.write(offset, bytes.data(), bytes.size());
  }

  bool apply_damage() {
    for (const DamageSpec& d : spec_.damage) {
      if (d.copy < 0 || d.copy > 2) return fail("damage: copy must be 0 to 2");
      bool ok = true;
      switch (d.kind) {
        case DamageSpec::kVolume:
          ok = spoil((uint64_t{kCopySectors} * static_cast<uint64_t>(d.copy) + kVolumeOffset) * kSectorBytes,
                     encode_volume(std::max(0, spec_.generations[d.copy])));
          break;
        case DamageSpec::kHeader: {
          std::vector<uint8_t> h;
          BlockHeaderSpec bh;
          if (!m_.records.empty())
            bh = {m_.blocks, m_.oldest_block, m_.newest_block, m_.newest_block, blocks_[m_.newest_block].last_record};
          switch (d.area) {
            case Area::kAttr: h = encode_ring_header(attr_h_); break;
            case Area::kBlock: h = encode_block_header(bh); break;
            case Area::kList: h = encode_ring_header(list_h_); break;
            case Area::kAlarm: h = encode_alarm_header(alarm_h_); break;
          }
          ok = spoil(area_header_sector(d.copy, d.area) * kSectorBytes, h);
          break;
        }
        case DamageSpec::kEntry: {
          // Flip a byte of the entry inside the copy's table; its checksum
          // then fails.
          int ring = 0, bytes = 28, newest = 0;
          switch (d.area) {
            case Area::kAttr:
              ring = kAttrRing;
              newest = attr_h_.newest;
              break;
            case Area::kBlock:
              ring = kBlockRing;
              bytes = 26;
              newest = m_.newest_block;
              break;
            case Area::kList:
              ring = kListRing;
              newest = list_h_.newest;
              break;
            case Area::kAlarm:
              ring = kAlarmRing;
              newest = alarm_h_.newest;
              break;
          }
          const int index = d.index < 0 ? newest : d.index % ring;
          const uint64_t offset = (area_header_sector(d.copy, d.area) + 1) * kSectorBytes +
                                  static_cast<uint64_t>(index) * static_cast<uint64_t>(bytes) + 2;
          const uint8_t junk = 0x77;
          ok = image_.write(offset, &junk, 1);
          break;
        }
        case DamageSpec::kIndexBlock: {
          const int b = d.index < 0 ? m_.newest_block : d.index % kBlockRing;
          auto it = blocks_.find(b);
          const int first = it == blocks_.end() ? 0 : it->second.first_record;
          const uint64_t offset = (uint64_t{kCopySectors} * static_cast<uint64_t>(d.copy) + kIndexBlockOffset +
                                   uint64_t{kIndexBlockSectors} * static_cast<uint64_t>(b)) *
                                      kSectorBytes +
                                  static_cast<uint64_t>(first) * kRecordBytes + 5;
          const uint8_t junk = 0x99;
          ok = image_.write(offset, &junk, 1);
          break;
        }
        case DamageSpec::kRandom: {
          // Random sectors among those holding management or recorded data.
          std::mt19937 rng(d.seed);
          std::vector<std::pair<uint64_t, uint64_t>> extents;  // first sector, count
          for (int c = 0; c < 3; ++c) {
            const uint64_t base = uint64_t{kCopySectors} * static_cast<uint64_t>(c);
            extents.emplace_back(base, kIndexBlockOffset);
            for (const auto& [b, u] : blocks_) {
              const uint64_t first = base + kIndexBlockOffset +
                                     uint64_t{kIndexBlockSectors} * static_cast<uint64_t>(b) +
                                     static_cast<uint64_t>(u.first_record) * kRecordBytes / kSectorBytes;
              const uint64_t last = base + kIndexBlockOffset + uint64_t{kIndexBlockSectors} * static_cast<uint64_t>(b) +
                                    static_cast<uint64_t>(u.last_record) * kRecordBytes / kSectorBytes;
              extents.emplace_back(first, last - first + 1);
            }
          }
          uint64_t data_end = kDataStartSector;
          for (const RecordInfo& r : m_.records)
            for (const GopInfo& g : r.gops)
              if (g.readable) data_end = std::max<uint64_t>(data_end, g.sector + sectors_of(g.size));
          extents.emplace_back(kDataStartSector, data_end - kDataStartSector + 1);
          std::vector<uint8_t> junk(kSectorBytes);
          for (int i = 0; i < d.count && ok; ++i) {
            const auto& [first, count] = extents[rng() % extents.size()];
            const uint64_t sector = first + rng() % count;
            for (uint8_t& x : junk) x = static_cast<uint8_t>(rng());
            ok = image_.write(sector * kSectorBytes, junk.data(), junk.size());
          }
          break;
        }
      }
      if (!ok) return fail("damage: write failed");
    }
    return true;
  }

  const DiskSpec& spec_;
  Manifest& m_;
  std::string& error_;
  ImageFile image_;
  uint64_t image_bytes_ = 0, image_sectors_ = 0;
  int streams_ = 1;  // video streams recorded: 1, or one per camera
  std::vector<CameraVideo> video_;
  std::vector<uint8_t> alaw_;
  size_t audio_pos_ = 0;
  int sequence_[16] = {};
  int audio_sequence_ = 0;
  Layout layout_;
  RingHeaderSpec attr_h_, list_h_, alarm_h_;
  std::map<int, BlockUse> blocks_;
};

}  // namespace

uint8_t camera_set_of(const DiskSpec& spec) {
  if (spec.camera_set) return spec.camera_set;
  return static_cast<uint8_t>(spec.cameras >= 4 ? 0x0F : (1 << std::max(spec.cameras, 1)) - 1);
}

std::string folder_clip(const DiskSpec& spec, int stream) {
  if (spec.clips_folder.empty()) return "";
  std::string name;
  if (spec.per_camera_streams)
    name = "cam" + std::to_string(stream % 4) + "_704x480.m4v";
  else if (spec.cameras == 1)
    name = "cam0_704x480.m4v";
  else if (spec.cameras == 2)
    name = "two_704x480.m4v";
  else
    name = "quad_704x480.m4v";
  return spec.clips_folder + "/" + name;
}

bool write_disk(const DiskSpec& spec, const std::string& path, Manifest* manifest, std::string* error) {
  Manifest local;
  std::string local_error;
  Manifest& m = manifest ? *manifest : local;
  m = Manifest{};
  Writer w(spec, &m, error ? error : &local_error);
  return w.run(path);
}

}  // namespace zebdisk
