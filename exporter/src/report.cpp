// The HTML report on a recorder disk: gathered through the library's disk
// reader and the scan, rendered as one page with inline styles, SVG
// timelines and JPEG thumbnails as data: URIs.
#include "exporter/report.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "brinlib_internal.h"
#include "jpegkit_internal.h"
#include "record_parts.h"
#include "velmora/bytes.h"

namespace exporter {

namespace {

constexpr UnixSeconds kDaySeconds = 86400;
// Clock anomalies listed one by one; the rest are only counted.
constexpr size_t kListedAnomalies = 200;
// Days drawn as timelines at most (a damaged list entry may span years).
constexpr size_t kMaxDays = 400;
// Runs whose pictures are looked for, and how many GOPs of a run are read
// for the first picture of each camera.
constexpr size_t kRunsWithPictures = 500;
constexpr int kPictureGops = 4;
constexpr int kThumbnailWidth = 160;
constexpr int kThumbnailQuality = 80;

UnixSeconds from_rec_seconds(uint32_t s) { return unix_from_rec(vp::rec_time_from_seconds(s)); }

// ---- Gathering -------------------------------------------------------------

void read_lists(ReportData* d) {
  int32_t count = 0, oldest = 0;
  get_rec_list(&count, &oldest);
  for (int k = 0; k < count; ++k) {
    ReportRun run;
    run.list_index = (oldest + k) % brin::disk::kListRing;
    uint32_t s = 0, e = 0;
    int32_t kind = 0;
    run.damaged = get_list_start_end_sec(run.list_index, &s, &e, &kind) != 0;
    if (!run.damaged) {
      run.start = from_rec_seconds(s);
      run.end = from_rec_seconds(e);
      run.kind = kind;
      run.continuation = brin::disk::list_entry(run.list_index).continuation != 0;
    }
    d->runs.push_back(run);
  }
  get_alarm_list(&count, &oldest);
  for (int k = 0; k < count; ++k) {
    ReportAlarm alarm;
    alarm.index = (oldest + k) % brin::disk::kAlarmRing;
    uint32_t s = 0, e = 0;
    alarm.damaged = get_alarm_info(alarm.index, &s, &e) != 0;
    if (!alarm.damaged) {
      alarm.start = from_rec_seconds(s);
      alarm.end = from_rec_seconds(e);
    }
    d->alarms.push_back(alarm);
  }
}

void read_management(ReportData* d) {
  std::lock_guard<std::mutex> lock(brin::disk::cursor_lock());
  const brin::disk::CopyOrder& order = brin::disk::loaded_order();
  d->generation = order.generation;
  for (int c = 0; c < brin::disk::kCopies; ++c) {
    d->copy_order[c] = order.copy[c];
    d->generation_of_copy[c] = order.generation_of_copy[c];
  }
  const brin::disk::Ring rings[4] = {brin::disk::Ring::kAttr, brin::disk::Ring::kBlock, brin::disk::Ring::kList,
                                     brin::disk::Ring::kAlarm};
  for (int r = 0; r < 4; ++r) {
    const brin::disk::RingSource source = brin::disk::ring_source(rings[r]);
    d->ring_header_copy[r] = source.header_copy;
    d->ring_table_copy[r] = source.table_copy;
  }
}

void find_clock_anomalies(ReportData* d) {
  bool first = true;
  UnixSeconds last = 0;
  for_each_index_record([&](const IndexedRecord& r) {
    ++d->index_records;
    const UnixSeconds t = unix_from_rec(r.time);
    if (!first && t < last) {
      ++d->anomaly_count;
      if (d->anomalies.size() < kListedAnomalies) d->anomalies.push_back(ClockAnomaly{r.block, r.record, last, t});
    }
    first = false;
    last = t;
  });
}

// A picture made smaller by averaging boxes of pixels, to kThumbnailWidth
// wide (a smaller one is kept as it is). Rows bottom-up, blue, green, red.
std::vector<uint8_t> shrink(const std::vector<uint8_t>& bgr, int width, int height, int* out_w, int* out_h) {
  const int w = std::min(width, kThumbnailWidth);
  const int h = std::max(1, static_cast<int>(static_cast<int64_t>(height) * w / width));
  std::vector<uint8_t> out(static_cast<size_t>(w) * h * 3);
  for (int y = 0; y < h; ++y) {
    const int y0 = static_cast<int>(static_cast<int64_t>(y) * height / h);
    const int y1 = std::max(y0 + 1, static_cast<int>(static_cast<int64_t>(y + 1) * height / h));
    for (int x = 0; x < w; ++x) {
      const int x0 = static_cast<int>(static_cast<int64_t>(x) * width / w);
      const int x1 = std::max(x0 + 1, static_cast<int>(static_cast<int64_t>(x + 1) * width / w));
      for (int c = 0; c < 3; ++c) {
        uint32_t sum = 0;
        for (int sy = y0; sy < y1; ++sy)
          for (int sx = x0; sx < x1; ++sx) sum += bgr[(static_cast<size_t>(sy) * width + sx) * 3 + c];
        const uint32_t n = static_cast<uint32_t>((y1 - y0) * (x1 - x0));
        out[(static_cast<size_t>(y) * w + x) * 3 + c] = static_cast<uint8_t>((sum + n / 2) / n);
      }
    }
  }
  *out_w = w;
  *out_h = h;
  return out;
}

// The frames of the first GOPs of a recording-list entry, read from the
// entry's first index record on. (The time search would not do: after the
// clock was set back, a time names more than one place.)
std::vector<std::vector<uint8_t>> first_gops(int list_index, int count) {
  std::vector<std::vector<uint8_t>> out;
  std::lock_guard<std::mutex> lock(brin::disk::cursor_lock());
  const brin::disk::ListEntry e = brin::disk::list_entry(list_index);
  if (!brin::disk::position_valid(e.start_block, static_cast<int>(e.start_record))) return out;
  brin::disk::Cursor& c = brin::disk::cursor();
  c.block = e.start_block;
  c.record = static_cast<int32_t>(e.start_record);
  c.gop_index = 0;
  c.list_index = list_index;
  brin::disk::play_gop_index() = 0;
  if (!brin::disk::load_index_block(c.block)) return out;
  std::vector<uint8_t> buffer(brin::disk::kFrameBufferBytes);
  for (int g = 0; g < count; ++g) {
    int32_t len = 0;
    const int r = brin::disk::read_next_with_info(buffer.data(), &len, nullptr, nullptr);
    if (r == brin::disk::kNoFurtherData) break;
    if (r >= 0 && len > 0 && static_cast<size_t>(len) <= buffer.size())
      out.emplace_back(buffer.begin(), buffer.begin() + len);
    if (r == 1) break;  // the end of the recorded data
  }
  return out;
}

// The first picture of each camera (of `only`, when not 0) in the GOPs,
// decoded by the channel decoders and written as JPEG thumbnails; *note
// says why a camera has none.
std::vector<Thumbnail> first_pictures(const std::vector<std::vector<uint8_t>>& gops, int only, std::string* note) {
  std::map<int, Thumbnail> found;  // by camera
  std::map<int, bool> tried;       // cameras with a picture that did not decode
  for (const std::vector<uint8_t>& f : gops) {
    for (size_t at = 0; at + brin::disk::kFrameHeaderBytes <= f.size();) {
      const uint8_t* h = f.data() + at;
      const uint32_t payload = vp::le32(h + 16);
      if (vp::le16(h) != brin::disk::kVideoMarker && vp::le16(h) != brin::disk::kAudioMarker) break;
      if (payload > f.size() - at - brin::disk::kFrameHeaderBytes) break;
      const int camera = (h[34] & 15) + 1;
      if (vp::le16(h) == brin::disk::kVideoMarker && !found.count(camera) && (only == 0 || camera == only)) {
        int channel = 0, w = 0, hgt = 0;
        std::vector<uint8_t> bgr;
        if (brin::decode::decode_packet(h + brin::disk::kFrameHeaderBytes, payload, &channel) == 1 &&
            brin::decode::copy_picture(channel, &bgr, &w, &hgt) && w >= 16 && hgt >= 8 &&
            bgr.size() >= static_cast<size_t>(w) * hgt * 3) {
          Thumbnail t;
          t.camera = camera;
          t.shows = h[11];
          t.time = static_cast<int32_t>(vp::le32(h + 12));
          const std::vector<uint8_t> small = shrink(bgr, w, hgt, &t.width, &t.height);
          jk::EncodeInput in;
          in.pixels = small.data();
          in.row_bytes = static_cast<ptrdiff_t>(t.width) * 3;
          in.width = t.width;
          in.height = t.height;
          in.sampling = jk::Sampling::k420;
          in.quality = kThumbnailQuality;
          // The encoder keeps whole blocks: the thumbnail's size as written.
          t.width -= t.width % 16;
          t.height -= t.height % 8;
          if (t.width > 0 && t.height > 0 && jk::encode_jpeg(in, t.jpeg) == 0) found[camera] = std::move(t);
        } else {
          tried[camera] = true;
        }
      }
      at += brin::disk::kFrameHeaderBytes + payload;
    }
  }
  std::vector<Thumbnail> out;
  for (auto& [camera, t] : found) out.push_back(std::move(t));
  std::string missing;
  for (const auto& [camera, _] : tried) {
    if (!found.count(camera)) missing += (missing.empty() ? "" : ", ") + std::to_string(camera);
  }
  if (!missing.empty()) *note = "no picture of camera " + missing + " could be decoded";
  if (found.empty() && tried.empty()) *note = "no picture was found";
  return out;
}

void find_pictures(ReportRun* run) {
  const std::vector<std::vector<uint8_t>> gops = first_gops(run->list_index, kPictureGops);
  if (gops.empty()) {
    run->pictures_note = "the run's first GOPs cannot be read (the index may have lost them: see the recovered runs)";
    return;
  }
  run->pictures = first_pictures(gops, 0, &run->pictures_note);
}

// A recovered run's first GOPs of its camera, found by the scan, read as
// the disk's readers read a chunk.
void find_recovered_pictures(const ScanResult& scan, const RecoveredRun& run, RecoveredPictures* out) {
  std::vector<std::vector<uint8_t>> gops;
  std::vector<uint8_t> frames;
  for (const ScannedGop& g : scan.gops) {
    if (gops.size() >= static_cast<size_t>(kPictureGops)) break;
    if (g.state != GopState::kUnindexed || !(g.cameras & (1u << (run.camera - 1)))) continue;
    const UnixSeconds t = unix_from_rec(g.time);
    if (t < run.start || t > run.end) continue;
    if (read_scanned_gop(g, &frames) && !frames.empty()) gops.push_back(frames);
  }
  if (gops.empty()) {
    out->note = "the run's first GOPs cannot be read";
    return;
  }
  out->pictures = first_pictures(gops, run.camera, &out->note);
}

// ---- Rendering -------------------------------------------------------------

// Bytes that are not UTF-8 (a record may hold anything) each become a
// replacement character, so that the page stays well-formed.
std::string utf8_or_replaced(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    bool ok = n > 0 && i + n <= s.size();
    for (size_t k = 1; ok && k < n; ++k) ok = (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80;
    // Overlong forms, surrogates and values past U+10FFFF are refused too.
    if (ok && n == 2) ok = c >= 0xC2;
    if (ok && n == 3) {
      const auto c1 = static_cast<unsigned char>(s[i + 1]);
      ok = !(c == 0xE0 && c1 < 0xA0) && !(c == 0xED && c1 >= 0xA0);
    }
    if (ok && n == 4) {
      const auto c1 = static_cast<unsigned char>(s[i + 1]);
      ok = c <= 0xF4 && !(c == 0xF0 && c1 < 0x90) && !(c == 0xF4 && c1 >= 0x90);
    }
    if (ok) {
      out.append(s, i, n);
      i += n;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}

// Text for HTML and XML: the five characters that mean something there,
// and control characters (which XML refuses) as a replacement character.
std::string esc(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (const unsigned char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default:
        if (c < 0x20 && c != '\n' && c != '\t') {
          out += "\xEF\xBF\xBD";
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return utf8_or_replaced(out);
}

std::string base64(const std::vector<uint8_t>& bytes) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const uint32_t n = (uint32_t{bytes[i]} << 16) | (i + 1 < bytes.size() ? uint32_t{bytes[i + 1]} << 8 : 0) |
                       (i + 2 < bytes.size() ? bytes[i + 2] : 0);
    out += kDigits[(n >> 18) & 63];
    out += kDigits[(n >> 12) & 63];
    out += i + 1 < bytes.size() ? kDigits[(n >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? kDigits[n & 63] : '=';
  }
  return out;
}

std::string num(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", v);
  return text;
}

std::string clock_of(UnixSeconds s) { return iso_utc(s, "%H:%M:%S"); }
std::string day_of(UnixSeconds s) { return iso_utc(s, "%Y/%m/%d"); }

std::string copy_name(int copy) { return copy < 0 ? "none passed its checks" : "copy " + std::to_string(copy); }

// The timeline's colours; the legend shows them.
constexpr const char* kRunColour = "#1f5fa8";
constexpr const char* kGapColour = "#f3c4c4";
constexpr const char* kAlarmColour = "#d9730d";
constexpr const char* kRecoveredColour = "#2a8a4a";
constexpr const char* kLaneColour = "#eeeeee";

// One day's timeline in SVG user units: the plot runs from kPlotLeft to
// kPlotRight over the hours the day's data touches.
constexpr double kPlotLeft = 110, kPlotRight = 970, kWidth = 1000;
constexpr double kLaneHeight = 22, kLaneGap = 8, kTop = 10;

struct Interval {
  UnixSeconds start, end;
  std::string title;
};

class DayTimeline {
 public:
  DayTimeline(UnixSeconds day, UnixSeconds first, UnixSeconds last) : day_(day) {
    // Whole hours around the day's data, at least one.
    from_ = day + (first - day) / 3600 * 3600;
    to_ = std::min(day + kDaySeconds, day + (last - day + 3600) / 3600 * 3600);
    if (to_ <= from_) to_ = from_ + 3600;
  }

  double x(UnixSeconds t) const {
    const double share = static_cast<double>(t - from_) / static_cast<double>(to_ - from_);
    return kPlotLeft + std::clamp(share, 0.0, 1.0) * (kPlotRight - kPlotLeft);
  }

  std::string svg(const std::vector<Interval>& runs, const std::vector<Interval>& gaps,
                  const std::vector<Interval>& alarms, const std::vector<Interval>& recovered) const {
    const double axis_y = kTop + 3 * (kLaneHeight + kLaneGap);
    const double legend_y = axis_y + 40;
    const double height = legend_y + 22;
    std::string s = "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"timeline\" viewBox=\"0 0 " + num(kWidth) + " " +
                    num(height) + "\" width=\"100%\" role=\"img\" aria-label=\"Timeline of " + day_of(day_) + "\">\n";
    const char* lanes[3] = {"Recordings", "Alarms", "Recovered"};
    for (int l = 0; l < 3; ++l) {
      const double y = lane_y(l);
      s += "<text class=\"lane\" x=\"4\" y=\"" + num(y + 15) + "\">" + lanes[l] + "</text>\n";
      s += "<rect x=\"" + num(kPlotLeft) + "\" y=\"" + num(y) + "\" width=\"" + num(kPlotRight - kPlotLeft) +
           "\" height=\"" + num(kLaneHeight) + "\" fill=\"" + kLaneColour + "\"/>\n";
    }
    bars(&s, "gap", kGapColour, 0, gaps);
    bars(&s, "run", kRunColour, 0, runs);
    bars(&s, "alarm", kAlarmColour, 1, alarms);
    bars(&s, "recovered", kRecoveredColour, 2, recovered);
    // The time axis with a tick every step, about ten of them at most.
    const UnixSeconds span = to_ - from_;
    UnixSeconds step = 600;
    for (const UnixSeconds candidate : {600, 900, 1800, 3600, 7200, 10800, 21600}) {
      step = candidate;
      if (span / candidate <= 12) break;
    }
    s += "<line x1=\"" + num(kPlotLeft) + "\" y1=\"" + num(axis_y) + "\" x2=\"" + num(kPlotRight) + "\" y2=\"" +
         num(axis_y) + "\" stroke=\"#444\" stroke-width=\"1\"/>\n";
    for (UnixSeconds t = from_; t <= to_; t += step) {
      const std::string tx = num(x(t));
      s += "<line class=\"tick\" x1=\"" + tx + "\" y1=\"" + num(axis_y) + "\" x2=\"" + tx + "\" y2=\"" +
           num(axis_y + 6) + "\" stroke=\"#444\" stroke-width=\"1\"/>\n";
      const std::string label = t - day_ == kDaySeconds ? "24:00" : iso_utc(t, "%H:%M");
      s += "<text class=\"tick-label\" x=\"" + tx + "\" y=\"" + num(axis_y + 20) + "\" text-anchor=\"middle\">" +
           label + "</text>\n";
    }
    // The legend.
    const std::pair<const char*, const char*> keys[4] = {{kRunColour, "recording run"},
                                                         {kGapColour, "gap"},
                                                         {kAlarmColour, "alarm"},
                                                         {kRecoveredColour, "recovered run"}};
    double lx = kPlotLeft;
    for (const auto& [colour, name] : keys) {
      s += "<rect class=\"key\" x=\"" + num(lx) + "\" y=\"" + num(legend_y) + "\" width=\"14\" height=\"14\" fill=\"" +
           colour + "\"/>\n";
      s += "<text x=\"" + num(lx + 20) + "\" y=\"" + num(legend_y + 12) + "\">" + name + "</text>\n";
      lx += 150;
    }
    return s + "</svg>\n";
  }

 private:
  static double lane_y(int lane) { return kTop + lane * (kLaneHeight + kLaneGap); }

  void bars(std::string* s, const char* cls, const char* colour, int lane, const std::vector<Interval>& items) const {
    for (const Interval& i : items) {
      const double x0 = x(i.start);
      // A bar is at least one unit wide, so that a single GOP shows.
      const double w = std::max(1.0, x(i.end) - x0);
      *s += std::string("<rect class=\"") + cls + "\" x=\"" + num(x0) + "\" y=\"" + num(lane_y(lane)) + "\" width=\"" +
            num(w) + "\" height=\"" + num(kLaneHeight) + "\" fill=\"" + colour +
            "\" shape-rendering=\"crispEdges\"><title>" + esc(i.title) + "</title></rect>\n";
    }
  }

  UnixSeconds day_, from_ = 0, to_ = 0;
};

// The part of [start, end] on the day, if any.
bool clip_to_day(UnixSeconds day, UnixSeconds start, UnixSeconds end, Interval* out) {
  if (end < day || start >= day + kDaySeconds || end < start) return false;
  out->start = std::max(start, day);
  out->end = std::min(end, day + kDaySeconds);
  return true;
}

std::string span_text(UnixSeconds a, UnixSeconds b) {
  return clock_text(a) + " \u2013 " + (day_of(a) == day_of(b) ? clock_of(b) : clock_text(b));
}

// "camera 3", or the cameras a recorded picture shows together.
std::string cameras_text(const Thumbnail& t) {
  std::string shown;
  int n = 0;
  for (int c = 0; c < 8; ++c) {
    if (t.shows & (1u << c)) {
      shown += (n++ ? ", " : "") + std::to_string(c + 1);
    }
  }
  if (n == 0) return "camera " + std::to_string(t.camera);
  return (n == 1 ? "camera " : "cameras ") + shown;
}

std::string thumbnails_html(const std::vector<Thumbnail>& pictures, const std::string& note) {
  std::string s;
  for (const Thumbnail& t : pictures) {
    s += "<figure><img alt=\"" + cameras_text(t) + "\" width=\"" + std::to_string(t.width) + "\" height=\"" +
         std::to_string(t.height) + "\" src=\"data:image/jpeg;base64," + base64(t.jpeg) + "\"/><figcaption>" +
         cameras_text(t) + " at " + clock_of(t.time) + "</figcaption></figure>";
  }
  if (!note.empty()) s += "<p class=\"note\">" + esc(note) + "</p>";
  return s;
}

const char* kStyle = R"(
body { font-family: sans-serif; font-size: 13px; color: #111; margin: 16px 24px; }
h1 { font-size: 20px; margin: 0 0 4px 0; }
h2 { font-size: 16px; margin: 18px 0 6px 0; border-bottom: 1px solid #999; }
h3 { font-size: 14px; margin: 10px 0 4px 0; }
table { border-collapse: collapse; margin: 4px 0 8px 0; }
th, td { border: 1px solid #bbb; padding: 2px 6px; text-align: left; vertical-align: top; }
th { background: #f0f0f0; }
td.num { text-align: right; }
.hash { font-family: monospace; word-break: break-all; }
.note { color: #8a1c1c; }
.bad { color: #8a1c1c; font-weight: bold; }
svg.timeline { display: block; width: 100%; height: auto; max-width: 1100px; }
svg text { font-family: sans-serif; font-size: 12px; fill: #111; }
figure { display: inline-block; margin: 2px 8px 2px 0; }
figcaption { font-size: 11px; }
.run-pictures { margin: 4px 0 8px 0; }
* { -webkit-print-color-adjust: exact; print-color-adjust: exact; }
@page { size: A4 landscape; margin: 12mm; }
@media print {
  body { margin: 0; font-size: 10pt; }
  section.day { break-before: page; page-break-before: always; }
  svg.timeline { max-width: 100%; break-inside: avoid; page-break-inside: avoid; }
  tr, figure, .run-pictures { break-inside: avoid; page-break-inside: avoid; }
  h2, h3 { break-after: avoid; page-break-after: avoid; }
}
)";

void facts_html(const ReportData& d, std::string* s) {
  *s += "<section id=\"disk\"><h2>The disk</h2><table>\n";
  auto row = [s](const std::string& name, const std::string& value_html) {
    *s += "<tr><th>" + name + "</th><td>" + value_html + "</td></tr>\n";
  };
  row("Source", esc(d.source));
  row("Size", std::to_string(d.size_bytes) + " bytes (" + num(static_cast<double>(d.size_bytes) / 1e9) + " GB), " +
                  std::to_string(d.cylinders) + " cylinders");
  row("Write generation",
      std::to_string(d.generation) + " (management copy " + std::to_string(d.copy_order[0]) + " read first)");
  if (d.image) {
    if (d.acquisition.read) {
      const AcquisitionRecord& a = d.acquisition;
      row("Acquired", esc(a.started) + " to " + esc(a.finished) + " by " + esc(a.user) + " with " + esc(a.program));
      row("Device", esc(a.device) + (a.model.empty() && a.serial.empty()
                                         ? std::string()
                                         : ", model " + esc(a.model) + ", serial " + esc(a.serial)));
      row("SHA-256 (record)", "<span class=\"hash\">" + esc(a.sha256) + "</span>");
      row("SHA-256 (.sha256 file)",
          d.sum_file.empty()
              ? std::string("<span class=\"note\">none</span>")
              : "<span class=\"hash\">" + esc(d.sum_file) + "</span>" +
                    (d.sum_file == a.sha256 ? std::string() : " <span class=\"bad\">differs from the record</span>"));
      row("Size (record)", std::to_string(a.bytes) + " bytes" +
                               (a.bytes == d.image_bytes ? std::string(", as the image")
                                                         : ", <span class=\"bad\">the image has " +
                                                               std::to_string(d.image_bytes) + "</span>"));
      row("Unreadable sectors", std::to_string(a.unreadable_sectors) + " (zeros in the image); " +
                                    std::to_string(a.retried_sectors) + " read only after a retry");
      row("Check", "velmora-disk verify hashes the image again and compares it with the record");
    } else {
      row("Acquisition record", "<span class=\"note\">" + esc(d.acquisition.error) + "</span>");
    }
  }
  *s += "</table></section>\n";
}

void scan_html(const ReportData& d, std::string* s) {
  *s += "<section id=\"scan\"><h2>Scan of the recorded data</h2>\n";
  if (!d.scanned) {
    *s += "<p class=\"note\">The scan did not run: " + esc(d.scan_error) + "</p></section>\n";
    return;
  }
  const ScanResult& r = d.scan;
  *s += "<table><tr><th>Scanned</th><td class=\"num\">" + num(static_cast<double>(r.bytes_scanned) / 1e6) +
        " MB</td></tr>\n<tr><th>Unreadable</th><td class=\"num\">" +
        num(static_cast<double>(r.unreadable_bytes) / 1e6) +
        " MB</td></tr>\n<tr><th>GOP tables found</th><td class=\"num\">" + std::to_string(r.tables) +
        "</td></tr>\n<tr><th>GOPs listed by the index</th><td class=\"num\">" + std::to_string(r.listed) +
        "</td></tr>\n<tr><th>GOPs unindexed (recovered)</th><td class=\"num\">" + std::to_string(r.unindexed) +
        "</td></tr>\n<tr><th>GOPs damaged</th><td class=\"num\">" + std::to_string(r.damaged) +
        "</td></tr>\n<tr><th>GOP tables the index names but the disk lacks</th><td class=\"num\">" +
        std::to_string(r.indexed_tables_missing) + "</td></tr>\n<tr><th>Recovered runs</th><td class=\"num\">" +
        std::to_string(r.recovered.size()) + "</td></tr></table>\n";
  if (!r.recovered.empty()) {
    *s += "<table><tr><th>Camera</th><th>From</th><th>To</th><th>GOPs</th></tr>\n";
    for (const RecoveredRun& run : r.recovered) {
      *s += "<tr><td class=\"num\">" + std::to_string(run.camera) + "</td><td>" + clock_text(run.start) + "</td><td>" +
            clock_text(run.end) + "</td><td class=\"num\">" + std::to_string(run.gops) + "</td></tr>\n";
    }
    *s += "</table>\n";
  }
  *s += "</section>\n";
}

void days_html(const ReportData& d, std::string* s) {
  // Every day the runs, alarms and recovered runs touch.
  std::map<UnixSeconds, std::pair<UnixSeconds, UnixSeconds>> days;  // day -> first, last second on it
  // A damaged entry may claim years; the days drawn stop at kMaxDays.
  bool cut = false;
  auto touch = [&days, &cut](UnixSeconds a, UnixSeconds b) {
    if (b < a) return;
    for (UnixSeconds day = a - ((a % kDaySeconds) + kDaySeconds) % kDaySeconds; day <= b; day += kDaySeconds) {
      if (days.size() >= kMaxDays && !days.count(day)) {
        cut = true;
        return;
      }
      auto [it, fresh] = days.try_emplace(day, std::max(a, day), std::min(b, day + kDaySeconds - 1));
      if (!fresh) {
        it->second.first = std::min(it->second.first, std::max(a, day));
        it->second.second = std::max(it->second.second, std::min(b, day + kDaySeconds - 1));
      }
    }
  };
  for (const ReportRun& r : d.runs)
    if (!r.damaged) touch(r.start, r.end);
  for (const ReportAlarm& a : d.alarms)
    if (!a.damaged) touch(a.start, a.end);
  for (const RecoveredRun& r : d.scan.recovered) touch(r.start, r.end);
  if (days.empty()) {
    *s +=
        "<section id=\"timeline\"><h2>Timeline</h2><p class=\"note\">Nothing on the disk has a time: no "
        "recording, alarm or recovered run.</p></section>\n";
    return;
  }
  if (cut) {
    *s += "<p class=\"note\">The recordings claim more than " + std::to_string(kMaxDays) +
          " days; only the first ones found are drawn.</p>\n";
  }
  for (const auto& [day, extent] : days) {
    std::vector<Interval> runs, gaps, alarms, recovered;
    Interval i;
    for (const ReportRun& r : d.runs) {
      if (!r.damaged && clip_to_day(day, r.start, r.end, &i)) {
        i.title = "Recording " + span_text(r.start, r.end);
        runs.push_back(i);
      }
    }
    // Gaps: where no run records between the first and the last run of the
    // day.
    std::vector<Interval> sorted = runs;
    std::sort(sorted.begin(), sorted.end(), [](const Interval& a, const Interval& b) { return a.start < b.start; });
    UnixSeconds covered = sorted.empty() ? 0 : sorted.front().end;
    for (size_t k = 1; k < sorted.size(); ++k) {
      if (sorted[k].start > covered + 1) gaps.push_back(Interval{covered, sorted[k].start, ""});
      covered = std::max(covered, sorted[k].end);
    }
    for (Interval& g : gaps) g.title = "Gap " + span_text(g.start, g.end);
    for (const ReportAlarm& a : d.alarms) {
      if (!a.damaged && clip_to_day(day, a.start, a.end, &i)) {
        i.title = "Alarm " + span_text(a.start, a.end);
        alarms.push_back(i);
      }
    }
    for (const RecoveredRun& r : d.scan.recovered) {
      if (clip_to_day(day, r.start, r.end, &i)) {
        i.title = "Recovered, camera " + std::to_string(r.camera) + ", " + span_text(r.start, r.end);
        recovered.push_back(i);
      }
    }
    const DayTimeline timeline(day, extent.first, extent.second);
    *s += "<section class=\"day\"><h2>" + day_of(day) + "</h2>\n" + timeline.svg(runs, gaps, alarms, recovered);
    // The runs that start on the day, with their first pictures.
    bool heading = false;
    for (const ReportRun& r : d.runs) {
      if (r.damaged || r.start < day || r.start >= day + kDaySeconds) continue;
      if (!heading) *s += "<h3>Runs and their first pictures</h3>\n";
      heading = true;
      *s += "<div class=\"run-pictures\"><p>Recording " + span_text(r.start, r.end) + " (list entry " +
            std::to_string(r.list_index) + ")</p>" + thumbnails_html(r.pictures, r.pictures_note) + "</div>\n";
    }
    heading = false;
    for (size_t k = 0; k < d.scan.recovered.size(); ++k) {
      const RecoveredRun& r = d.scan.recovered[k];
      if (r.start < day || r.start >= day + kDaySeconds) continue;
      if (!heading) *s += "<h3>Recovered runs and their first pictures</h3>\n";
      heading = true;
      *s += "<div class=\"run-pictures\"><p>Recovered, camera " + std::to_string(r.camera) + ", " +
            span_text(r.start, r.end) + " (" + std::to_string(r.gops) + " GOPs)</p>";
      if (k < d.recovered_pictures.size())
        *s += thumbnails_html(d.recovered_pictures[k].pictures, d.recovered_pictures[k].note);
      *s += "</div>\n";
    }
    *s += "</section>\n";
  }
}

void copies_html(const ReportData& d, std::string* s) {
  *s +=
      "<section id=\"copies\"><h2>Management copies</h2>\n<table><tr><th>Copy</th><th>Volume record</th><th>Read "
      "as</th></tr>\n";
  for (int c = 0; c < 3; ++c) {
    int position = 0;
    while (position < 3 && d.copy_order[position] != c) ++position;
    const std::string record = d.generation_of_copy[c] < 0 ? std::string("<span class=\"bad\">damaged</span>")
                                                           : "generation " + std::to_string(d.generation_of_copy[c]);
    const char* role = position == 0 ? "chosen (read first)" : position == 1 ? "first fallback" : "second fallback";
    *s += "<tr><td>" + std::to_string(c) + "</td><td>" + record + "</td><td>" + role + "</td></tr>\n";
  }
  *s += "</table>\n<table><tr><th>Part</th><th>Header from</th><th>Table from</th></tr>\n";
  const char* names[4] = {"time attributes", "index blocks", "recording list", "alarm list"};
  for (int r = 0; r < 4; ++r) {
    auto cell = [&](int copy) {
      const bool fallback = copy >= 0 && copy != d.copy_order[0];
      return std::string(copy < 0 ? "<td class=\"bad\">" : "<td>") + copy_name(copy) +
             (fallback ? " (the chosen copy failed)" : "") + "</td>";
    };
    *s += std::string("<tr><td>") + names[r] + "</td>" + cell(d.ring_header_copy[r]) + cell(d.ring_table_copy[r]) +
          "</tr>\n";
  }
  *s += "</table>\n";
  if (!d.index_complete) *s += "<p class=\"note\">Parts of the index could not be read in any copy.</p>\n";
  *s += "</section>\n";
}

void lists_html(const ReportData& d, std::string* s) {
  *s += "<section id=\"recordings\"><h2>Recording list</h2>\n";
  if (d.runs.empty()) {
    *s += "<p>The list holds no recording.</p>\n";
  } else {
    *s += "<table><tr><th>Entry</th><th>From</th><th>To</th><th>Kind</th><th>Note</th></tr>\n";
    for (const ReportRun& r : d.runs) {
      if (r.damaged) {
        *s += "<tr><td class=\"num\">" + std::to_string(r.list_index) +
              "</td><td colspan=\"4\" class=\"bad\">damaged entry</td></tr>\n";
        continue;
      }
      *s += "<tr><td class=\"num\">" + std::to_string(r.list_index) + "</td><td>" + clock_text(r.start) + "</td><td>" +
            clock_text(r.end) + "</td><td class=\"num\">" + std::to_string(r.kind) + "</td><td>" +
            (r.continuation ? "continues the entry before" : "") + "</td></tr>\n";
    }
    *s += "</table>\n";
  }
  *s += "</section>\n<section id=\"alarms\"><h2>Alarm list</h2>\n";
  if (d.alarms.empty()) {
    *s += "<p>The list holds no alarm.</p>\n";
  } else {
    *s += "<table><tr><th>Entry</th><th>From</th><th>To</th></tr>\n";
    for (const ReportAlarm& a : d.alarms) {
      *s += "<tr><td class=\"num\">" + std::to_string(a.index) + "</td>" +
            (a.damaged ? std::string("<td colspan=\"2\" class=\"bad\">damaged entry</td>")
                       : "<td>" + clock_text(a.start) + "</td><td>" + clock_text(a.end) + "</td>") +
            "</tr>\n";
    }
    *s += "</table>\n";
  }
  *s += "</section>\n";
}

void anomalies_html(const ReportData& d, std::string* s) {
  *s += "<section id=\"clock\"><h2>Clock anomalies</h2>\n";
  if (d.anomaly_count == 0) {
    *s += "<p>The times of the index's " + std::to_string(d.index_records) +
          " records never go backwards.</p></section>\n";
    return;
  }
  *s += "<p>Records stamped earlier than the record before them: " + std::to_string(d.anomaly_count) +
        " of the index's " + std::to_string(d.index_records) +
        " (the recorder's clock was set back, or a record is wrong).</p>\n<table><tr><th>Index "
        "block</th><th>Record</th><th>Before</th><th>Then</th><th>Back "
        "by</th></tr>\n";
  for (const ClockAnomaly& a : d.anomalies) {
    *s += "<tr><td class=\"num\">" + std::to_string(a.block) + "</td><td class=\"num\">" + std::to_string(a.record) +
          "</td><td>" + clock_text(a.before) + "</td><td>" + clock_text(a.after) + "</td><td class=\"num\">" +
          std::to_string(a.before - a.after) + " s</td></tr>\n";
  }
  *s += "</table>\n";
  if (d.anomaly_count > d.anomalies.size())
    *s += "<p>Only the first " + std::to_string(d.anomalies.size()) + " are listed.</p>\n";
  *s += "</section>\n";
}

}  // namespace

ReportData gather_report(const ReportOptions& options) {
  ReportData d;
  d.source = options.source;
  d.program = options.program;
  d.generated = now_iso();
  vp::DriveGeometry g;
  {
    std::lock_guard<std::mutex> lock(brin::disk::cursor_lock());
    if (brin::disk::drive().is_open() && brin::disk::drive().geometry(&g)) {
      d.size_bytes = g.size_bytes;
      d.cylinders = static_cast<int32_t>(std::min<int64_t>(g.cylinders, INT32_MAX));
    }
  }
  if (!options.image.empty()) {
    d.image = true;
    d.acquisition = read_acquisition_record(options.image);
    struct stat st {};
    if (::stat(options.image.c_str(), &st) == 0) d.image_bytes = static_cast<uint64_t>(st.st_size);
    std::FILE* f = std::fopen((options.image + ".sha256").c_str(), "rb");
    if (f) {
      char hash[65] = {};
      if (std::fread(hash, 1, 64, f) == 64) d.sum_file = hash;
      std::fclose(f);
    }
    if (!d.acquisition.read) d.notes.push_back("No usable acquisition record: " + d.acquisition.error);
  }
  first_section_play();
  {
    std::lock_guard<std::mutex> lock(brin::disk::cursor_lock());
    d.index_complete = brin::disk::load_index_state(brin::disk::Positioning::kKeep) == 1;
  }
  if (!d.index_complete) d.notes.push_back("Parts of the index could not be read in any management copy.");
  read_management(&d);
  read_lists(&d);
  find_clock_anomalies(&d);

  d.scan = scan_disk(options.scan_progress);
  d.scanned = d.scan.ok;
  if (!d.scanned) {
    d.scan_error = d.scan.error;
    d.notes.push_back("The scan of the recorded data failed: " + d.scan.error);
  }

  if (options.thumbnails) {
    const bool decoders = decode_init() == 0;
    size_t looked = 0;
    for (ReportRun& run : d.runs) {
      if (run.damaged) continue;
      if (!decoders) {
        run.pictures_note = "the picture decoders could not be set up";
      } else if (looked++ < kRunsWithPictures) {
        find_pictures(&run);
      } else {
        run.pictures_note = "pictures are shown for the first " + std::to_string(kRunsWithPictures) + " runs only";
      }
    }
    d.recovered_pictures.resize(d.scan.recovered.size());
    for (size_t k = 0; k < d.scan.recovered.size(); ++k) {
      RecoveredPictures& p = d.recovered_pictures[k];
      if (!decoders) {
        p.note = "the picture decoders could not be set up";
      } else if (looked++ < kRunsWithPictures) {
        find_recovered_pictures(d.scan, d.scan.recovered[k], &p);
      } else {
        p.note = "pictures are shown for the first " + std::to_string(kRunsWithPictures) + " runs only";
      }
    }
    if (decoders) decode_deinit();
  }
  return d;
}

std::string render_report_html(const ReportData& d) {
  std::string s =
      "<!DOCTYPE html>\n<html xmlns=\"http://www.w3.org/1999/xhtml\" lang=\"en\" xml:lang=\"en\">\n<head>\n<meta "
      "charset=\"utf-8\"/>\n<title>Recorder disk report: " +
      esc(d.source) + "</title>\n<style>" + kStyle + "</style>\n</head>\n<body>\n<h1>Recorder disk report</h1>\n<p>" +
      esc(d.source) + ", made " + esc(d.generated) + " by " + esc(d.program) + "</p>\n";
  if (!d.notes.empty()) {
    s += "<section id=\"missing\"><h2>What this report lacks</h2><ul>\n";
    for (const std::string& n : d.notes) s += "<li class=\"note\">" + esc(n) + "</li>\n";
    s += "</ul></section>\n";
  }
  facts_html(d, &s);
  scan_html(d, &s);
  days_html(d, &s);
  lists_html(d, &s);
  anomalies_html(d, &s);
  copies_html(d, &s);
  return s + "</body>\n</html>\n";
}

std::string write_report_file(const std::string& folder, const std::string& html, std::string* error) {
  if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
    *error = "cannot create " + folder + ": " + std::strerror(errno);
    return {};
  }
  const std::string path = folder + "/report.html";
  const std::string part = path + ".part";
  // A new file (never one planted under the name), renamed into place.
  ::unlink(part.c_str());
  const int fd = ::open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot write " + part + ": " + std::strerror(errno);
    return {};
  }
  size_t done = 0;
  while (done < html.size()) {
    const ssize_t n = ::write(fd, html.data() + done, html.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  const bool ok = done == html.size() && ::fsync(fd) == 0;
  const int saved = errno;
  ::close(fd);
  if (!ok || ::rename(part.c_str(), path.c_str()) != 0) {
    *error = "cannot write " + path + ": " + std::strerror(ok ? errno : saved);
    ::unlink(part.c_str());
    return {};
  }
  return path;
}

}  // namespace exporter
