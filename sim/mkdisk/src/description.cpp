// The text description of a recorder disk read by zeb-mkdisk, and the
// manifest it prints.
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "zebdisk/disk_image.h"

namespace zebdisk {
namespace {

bool to_int(const std::string& s, long long* out) {
  if (s.empty()) return false;
  char* end = nullptr;
  const long long v = std::strtoll(s.c_str(), &end, 0);
  if (*end) return false;
  *out = v;
  return true;
}

bool parse_area(const std::string& s, Area* out) {
  if (s == "attr")
    *out = Area::kAttr;
  else if (s == "block")
    *out = Area::kBlock;
  else if (s == "list")
    *out = Area::kList;
  else if (s == "alarm")
    *out = Area::kAlarm;
  else
    return false;
  return true;
}

std::string position(int block, int record) { return std::to_string(block) + "/" + std::to_string(record); }

std::string with_seconds(const RecTime& t) {
  return "\"" + format_time(t) + "\" (" + std::to_string(vp::rec_seconds(t)) + ")";
}

}  // namespace

const char* description_help() {
  return "A description has one statement per line; '#' starts a comment. Times are\n"
         "written \"yyyy/mm/dd hh:mm:ss\" (two words). Statements:\n"
         "\n"
         "  cylinders N               image size in cylinders of 255 x 63 x 512 bytes\n"
         "                            (default 3100; the viewer wants more than 3000)\n"
         "  generations G0 G1 G2      write generation (0-5) of management copies 0-2;\n"
         "                            -1 writes a damaged volume record (default 0 1 2)\n"
         "  omit COPY                 leave management copy COPY (0-2) unwritten\n"
         "  start BLOCK RECORD        index position of the first record (default 0 0)\n"
         "  list_start INDEX          ring index of the first run in the recording list\n"
         "  alarm_start INDEX         ring index of the first alarm\n"
         "  cameras N                 cameras recorded (default 1). As a recorder\n"
         "                            does, one MPEG-4 stream is recorded whose 704 x 480\n"
         "                            pictures show the cameras together: with 1 camera\n"
         "                            the camera, with 2 two 704 x 240 halves (first\n"
         "                            camera above), with 3 or 4 four 352 x 240 quarters\n"
         "                            (cameras 1, 2 above, 3, 4 below); every picture's\n"
         "                            camera-set bits name the cameras shown\n"
         "  camera_set BITS           camera-set bits of the pictures (default: the\n"
         "                            cameras 1 to N, bit 0 = camera 1)\n"
         "  layout per_camera         variant no recorder writes: each camera is a\n"
         "                            stream of its own (camera number and a one-bit\n"
         "                            camera set per frame), frames of the cameras\n"
         "                            interleaved picture by picture\n"
         "  layout recorder           the recorder's layout above (the default)\n"
         "  clip STREAM PATH          MPEG-4 elementary stream recorded: in the\n"
         "                            recorder's layout clip 0 is the recorded picture,\n"
         "                            in the per-camera variant clip N is camera N+1;\n"
         "                            'synthetic' (the default) gives small stand-in\n"
         "                            pictures\n"
         "  audio PATH                G.711 A-law samples; 'synthetic' by default\n"
         "  clips FOLDER              the test clips of the build (build/clips) for the\n"
         "                            streams without a clip statement: the recorded\n"
         "                            picture is cam0_704x480.m4v (1 camera),\n"
         "                            two_704x480.m4v (2) or quad_704x480.m4v (3, 4);\n"
         "                            in the per-camera variant camera N records\n"
         "                            cam(N-1)%4_704x480.m4v; audio tone_440.alaw\n"
         "  pictures_per_gop N        video pictures per stream and GOP (default 2)\n"
         "  audio_per_gop N           20 ms audio frames per GOP (default 2)\n"
         "  gop_ms N                  time from one GOP to the next (default 1000)\n"
         "  gops_per_record N         GOPs per index record, 1 to 40 (default 4)\n"
         "  end_marker                the newest GOP ends on the end-of-data marker\n"
         "  settings V0 V1 ...        values of the settings sector (default 0x015C0000)\n"
         "  attribute A               time attribute (0-99) of the runs that follow; a\n"
         "                            clock set back starts the next attribute (default 0)\n"
         "  run START END [options]   a recording run: GOPs from START up to END\n"
         "      kind K                recording kind in the list (default 0)\n"
         "      continued             the run continues the one before\n"
         "      flags F               flags of its index records (default 1)\n"
         "      stop                  a stop point on its first record\n"
         "      bad_record R          record R of the run (from 0) fails its checksum in\n"
         "                            every copy (keep R off a block's first and last\n"
         "                            record and every 1000th, which the reader samples)\n"
         "      hidden R              record R has flags 0 (no stepping target)\n"
         "      bad_gop R G           GOP G of record R fails its checksum\n"
         "      lost_table R          record R's GOP table lies past the end of the disk\n"
         "      lost_chunk R G        GOP G's chunk lies past the end of the disk\n"
         "      huge_chunk R G        GOP G's chunk claims more than 2 MiB\n"
         "      gop_count R N         record R claims N GOPs\n"
         "  alarm START END           an alarm\n"
         "  picture SECTOR TIME NUMBER CAMERA [BYTES]\n"
         "                            a JPEG-area picture (stand-in body of BYTES bytes,\n"
         "                            default 900) at SECTOR; CAMERA is the 16-bit value\n"
         "                            of its file name\n"
         "  damage volume COPY        the copy's volume record fails its checksum\n"
         "  damage header COPY AREA   a ring header (attr, block, list, alarm) fails\n"
         "  damage entry COPY AREA [INDEX]\n"
         "                            a table entry (default: the newest) fails\n"
         "  damage index COPY [BLOCK] an index block (default: the newest) fails\n"
         "  damage random SEED COUNT  COUNT random sectors of management and data\n"
         "                            overwritten with random bytes\n"
         "  truncate SECTORS          cut the image short after SECTORS sectors\n";
}

std::string format_time(const RecTime& t) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d/%02d/%02d %02d:%02d:%02d", 2000 + t.year, t.month, t.day, t.hour, t.minute,
                t.second);
  return text;
}

bool parse_time(const std::string& date, const std::string& time, RecTime* out) {
  int y, mo, d, h, mi, s;
  char tail;
  if (std::sscanf(date.c_str(), "%d/%d/%d%c", &y, &mo, &d, &tail) != 3) return false;
  if (std::sscanf(time.c_str(), "%d:%d:%d%c", &h, &mi, &s, &tail) != 3) return false;
  if (y < 2000 || y > 2255 || mo < 1 || mo > 12 || d < 1 || d > 31 || h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 ||
      s > 59)
    return false;
  *out = RecTime{static_cast<uint8_t>(y - 2000), static_cast<uint8_t>(mo), static_cast<uint8_t>(d),
                 static_cast<uint8_t>(h),        static_cast<uint8_t>(mi), static_cast<uint8_t>(s)};
  return true;
}

bool parse_description(const std::string& text, DiskSpec* spec, std::string* error) {
  std::istringstream in(text);
  std::string line;
  int line_number = 0;
  int attribute = 0;
  auto fail = [&](const std::string& why) {
    if (error) *error = "line " + std::to_string(line_number) + ": " + why;
    return false;
  };
  while (std::getline(in, line)) {
    ++line_number;
    if (const size_t hash = line.find('#'); hash != std::string::npos) line.resize(hash);
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string x; words >> x;) w.push_back(x);
    if (w.empty()) continue;
    const std::string& cmd = w[0];
    std::vector<long long> n;
    auto ints = [&](size_t from, size_t count) {
      n.clear();
      if (w.size() < from + count) return false;
      for (size_t i = from; i < from + count; ++i) {
        long long v;
        if (!to_int(w[i], &v)) return false;
        n.push_back(v);
      }
      return true;
    };
    auto times = [&](size_t at, RecTime* a, RecTime* b) {
      return w.size() >= at + 4 && parse_time(w[at], w[at + 1], a) && parse_time(w[at + 2], w[at + 3], b);
    };
    if (cmd == "cylinders") {
      if (!ints(1, 1) || n[0] < 1) return fail("cylinders N");
      spec->cylinders = static_cast<uint64_t>(n[0]);
    } else if (cmd == "generations") {
      if (!ints(1, 3)) return fail("generations G0 G1 G2");
      for (int i = 0; i < 3; ++i) {
        if (n[static_cast<size_t>(i)] < -1 || n[static_cast<size_t>(i)] > 5) return fail("generations are -1 to 5");
        spec->generations[i] = static_cast<int>(n[static_cast<size_t>(i)]);
      }
    } else if (cmd == "omit") {
      if (!ints(1, 1) || n[0] < 0 || n[0] > 2) return fail("omit COPY");
      spec->omit_copy[n[0]] = true;
    } else if (cmd == "start") {
      if (!ints(1, 2)) return fail("start BLOCK RECORD");
      spec->start_block = static_cast<int>(n[0]);
      spec->start_record = static_cast<int>(n[1]);
    } else if (cmd == "list_start" || cmd == "alarm_start") {
      if (!ints(1, 1) || n[0] < 0) return fail(cmd + " INDEX");
      (cmd == "list_start" ? spec->first_list_index : spec->first_alarm_index) = static_cast<int>(n[0]);
    } else if (cmd == "cameras" || cmd == "pictures_per_gop" || cmd == "audio_per_gop" || cmd == "gop_ms" ||
               cmd == "gops_per_record") {
      if (!ints(1, 1)) return fail(cmd + " N");
      const int v = static_cast<int>(n[0]);
      if (cmd == "cameras")
        spec->cameras = v;
      else if (cmd == "pictures_per_gop")
        spec->pictures_per_gop = v;
      else if (cmd == "audio_per_gop")
        spec->audio_per_gop = v;
      else if (cmd == "gop_ms")
        spec->gop_ms = v;
      else
        spec->gops_per_record = v;
    } else if (cmd == "clip") {
      if (!ints(1, 1) || w.size() != 3 || n[0] < 0 || n[0] > 15) return fail("clip CAMERA PATH");
      if (spec->clips.size() <= static_cast<size_t>(n[0])) spec->clips.resize(static_cast<size_t>(n[0]) + 1);
      spec->clips[static_cast<size_t>(n[0])] = w[2] == "synthetic" ? "" : w[2];
    } else if (cmd == "clips") {
      if (w.size() != 2) return fail("clips FOLDER");
      spec->clips.clear();
      spec->clips_folder = w[1];
      spec->audio = w[1] + "/tone_440.alaw";
    } else if (cmd == "layout") {
      if (w.size() != 2 || (w[1] != "per_camera" && w[1] != "recorder")) return fail("layout recorder|per_camera");
      spec->per_camera_streams = w[1] == "per_camera";
    } else if (cmd == "camera_set") {
      if (!ints(1, 1) || n[0] < 1 || n[0] > 255) return fail("camera_set BITS (1-255)");
      spec->camera_set = static_cast<uint8_t>(n[0]);
    } else if (cmd == "audio") {
      if (w.size() != 2) return fail("audio PATH");
      spec->audio = w[1] == "synthetic" ? "" : w[1];
    } else if (cmd == "end_marker") {
      spec->end_marker = true;
    } else if (cmd == "settings") {
      spec->settings.clear();
      for (size_t i = 1; i < w.size(); ++i) {
        long long v;
        if (!to_int(w[i], &v)) return fail("settings values are numbers");
        spec->settings.push_back(static_cast<uint32_t>(v));
      }
    } else if (cmd == "attribute") {
      if (!ints(1, 1) || n[0] < 0 || n[0] > 99) return fail("attribute 0-99");
      attribute = static_cast<int>(n[0]);
    } else if (cmd == "run") {
      RunSpec r;
      r.attribute = attribute;
      if (!times(1, &r.start, &r.end)) return fail("run START END (yyyy/mm/dd hh:mm:ss)");
      for (size_t i = 5; i < w.size();) {
        const std::string& o = w[i];
        auto one = [&](std::vector<int>& list) {
          if (!ints(i + 1, 1)) return false;
          list.push_back(static_cast<int>(n[0]));
          i += 2;
          return true;
        };
        auto two = [&](std::vector<std::pair<int, int>>& list) {
          if (!ints(i + 1, 2)) return false;
          list.emplace_back(static_cast<int>(n[0]), static_cast<int>(n[1]));
          i += 3;
          return true;
        };
        bool ok = true;
        if (o == "kind") {
          ok = ints(i + 1, 1);
          if (ok) r.kind = static_cast<int>(n[0]);
          i += 2;
        } else if (o == "flags") {
          ok = ints(i + 1, 1);
          if (ok) r.flags = static_cast<uint8_t>(n[0]);
          i += 2;
        } else if (o == "continued") {
          r.continuation = true;
          ++i;
        } else if (o == "stop") {
          r.stop_point = true;
          ++i;
        } else if (o == "bad_record")
          ok = one(r.bad_records);
        else if (o == "hidden")
          ok = one(r.hidden_records);
        else if (o == "lost_table")
          ok = one(r.lost_tables);
        else if (o == "bad_gop")
          ok = two(r.bad_gops);
        else if (o == "lost_chunk")
          ok = two(r.lost_chunks);
        else if (o == "huge_chunk")
          ok = two(r.huge_chunks);
        else if (o == "gop_count")
          ok = two(r.gop_counts);
        else
          return fail("unknown run option " + o);
        if (!ok) return fail("run option " + o + " needs numbers");
      }
      spec->runs.push_back(r);
    } else if (cmd == "alarm") {
      AlarmSpec a;
      if (w.size() != 5 || !times(1, &a.start, &a.end)) return fail("alarm START END");
      spec->alarms.push_back(a);
    } else if (cmd == "picture") {
      PictureAt p;
      long long sector, number, camera, bytes = 900;
      if (w.size() < 6 || !to_int(w[1], &sector) || !parse_time(w[2], w[3], &p.picture.time) ||
          !to_int(w[4], &number) || !to_int(w[5], &camera) || (w.size() > 6 && !to_int(w[6], &bytes)) || sector < 0 ||
          bytes < 2 || bytes > 200000)
        return fail("picture SECTOR TIME NUMBER CAMERA [BYTES]");
      p.sector = static_cast<uint32_t>(sector);
      p.picture.number = static_cast<int>(number);
      p.picture.camera_word = static_cast<uint16_t>(camera);
      for (long long i = 0; i + 2 < bytes; ++i) p.picture.body.push_back(static_cast<uint8_t>(i * 37 + 11));
      p.picture.body.push_back(0xFF);
      p.picture.body.push_back(0xD9);
      spec->pictures.push_back(p);
    } else if (cmd == "damage") {
      DamageSpec d;
      if (w.size() < 3) return fail("damage KIND ...");
      const std::string& kind = w[1];
      if (kind == "volume") {
        if (!ints(2, 1)) return fail("damage volume COPY");
        d.kind = DamageSpec::kVolume;
        d.copy = static_cast<int>(n[0]);
      } else if (kind == "header" || kind == "entry") {
        if (!ints(2, 1) || w.size() < 4 || !parse_area(w[3], &d.area)) return fail("damage " + kind + " COPY AREA");
        d.kind = kind == "header" ? DamageSpec::kHeader : DamageSpec::kEntry;
        d.copy = static_cast<int>(n[0]);
        if (kind == "entry" && w.size() > 4) {
          if (!ints(4, 1)) return fail("damage entry COPY AREA INDEX");
          d.index = static_cast<int>(n[0]);
        }
      } else if (kind == "index") {
        if (!ints(2, 1)) return fail("damage index COPY [BLOCK]");
        d.kind = DamageSpec::kIndexBlock;
        d.copy = static_cast<int>(n[0]);
        if (w.size() > 3) {
          if (!ints(3, 1)) return fail("damage index COPY BLOCK");
          d.index = static_cast<int>(n[0]);
        }
      } else if (kind == "random") {
        if (!ints(2, 2) || n[1] < 0) return fail("damage random SEED COUNT");
        d.kind = DamageSpec::kRandom;
        d.seed = static_cast<uint32_t>(n[0]);
        d.count = static_cast<int>(n[1]);
      } else {
        return fail("unknown damage " + kind);
      }
      if (d.copy < 0 || d.copy > 2) return fail("copies are 0 to 2");
      spec->damage.push_back(d);
    } else if (cmd == "truncate") {
      if (!ints(1, 1) || n[0] < 1) return fail("truncate SECTORS");
      spec->truncate_sectors = static_cast<uint64_t>(n[0]);
    } else {
      return fail("unknown statement " + cmd);
    }
  }
  return true;
}

std::string format_manifest(const Manifest& m) {
  std::ostringstream o;
  o << "image " << m.path << " bytes " << m.image_bytes << " written " << m.written_bytes << "\n";
  o << "generations " << m.generation_of_copy[0] << " " << m.generation_of_copy[1] << " " << m.generation_of_copy[2]
    << "\n";
  o << "blocks " << m.blocks << " oldest " << m.oldest_block << " newest " << m.newest_block << "\n";
  if (!m.records.empty()) o << "range " << with_seconds(m.first_time) << " " << with_seconds(m.last_time) << "\n";
  for (const AttrInfo& a : m.attributes) {
    o << "attribute " << a.number << " first " << with_seconds(a.first) << " last " << with_seconds(a.last) << " from "
      << position(a.first_block, a.first_record) << " to " << position(a.last_block, a.last_record) << "\n";
  }
  for (size_t i = 0; i < m.runs.size(); ++i) {
    const RunInfo& r = m.runs[i];
    o << "run " << i << " list " << r.list_index << " attribute " << r.attribute << " kind " << r.kind << " continued "
      << (r.continuation ? 1 : 0) << " start " << with_seconds(r.start) << " end " << with_seconds(r.end) << " from "
      << position(r.start_block, r.start_record) << " to " << position(r.end_block, r.end_record) << " records "
      << r.record_infos << "\n";
  }
  for (const auto& [index, a] : m.alarms)
    o << "alarm " << index << " start " << with_seconds(a.start) << " end " << with_seconds(a.end) << "\n";
  for (const RecordInfo& r : m.records) {
    o << "record " << position(r.block, r.record) << " run " << r.run << " time " << with_seconds(r.time) << " table "
      << r.gop_sector << " gops " << r.gop_count << " flags " << int{r.flags} << " status " << int{r.status}
      << (r.bad ? " bad" : "") << (r.table_lost ? " table_lost" : "") << "\n";
    for (size_t g = 0; g < r.gops.size(); ++g) {
      const GopInfo& gi = r.gops[g];
      o << "  gop " << g << " time " << with_seconds(gi.time) << " sector " << gi.sector << " size " << gi.size
        << " frames " << gi.frames.size() << " result " << gi.expected_result << (gi.bad_entry ? " bad_entry" : "")
        << (gi.readable ? "" : " unreadable") << "\n";
      for (size_t f = 0; f < gi.frames.size(); ++f) {
        const FrameInfo& fi = gi.frames[f];
        o << "    frame " << f << " " << (fi.video ? "video" : "audio") << " camera " << fi.camera << " time "
          << fi.time << " sector " << (gi.sector + fi.chunk_offset / kSectorBytes) << " bytes " << fi.payload_bytes
          << " seq " << fi.sequence << "\n";
      }
    }
  }
  return o.str();
}

}  // namespace zebdisk
