// The HTML report: its timeline against the disk writer's manifest, in the
// SVG and in what a browser draws of it; a self-contained, well-formed page;
// and a damaged disk with a broken acquisition record reported as such.
#include "exporter/report.h"

#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <algorithm>
#include <cmath>
#include <regex>
#include <string>
#include <vector>

#include "disk_specs.h"
#include "testing.h"
#include "zebdisk/disk_image.h"

namespace {

using velmora::testing::read_file;
using velmora::testing::run_command;
using velmora::testing::T;
using velmora::testing::TempDir;
using velmora::testing::write_file;

std::string bin(const std::string& name) { return velmora::testing::build_dir() + "/bin/" + name; }

// Seconds since midnight of a recorder time, worked out from its fields.
double second_of_day(const zebdisk::RecTime& t) { return t.hour * 3600.0 + t.minute * 60.0 + t.second; }

// The first element of the SVG of the day headed `day` ("2024/05/01").
std::string day_svg(const std::string& html, const std::string& day) {
  const size_t head = html.find("<h2>" + day + "</h2>");
  if (head == std::string::npos) return {};
  const size_t start = html.find("<svg", head);
  const size_t end = html.find("</svg>", start);
  return start == std::string::npos || end == std::string::npos ? std::string() : html.substr(start, end - start);
}

struct Bar {
  double x = 0, width = 0;
  std::string fill;
};

std::vector<Bar> bars(const std::string& svg, const std::string& cls) {
  std::vector<Bar> out;
  const std::regex re(
      "<rect class=\"" + cls +
      "\" x=\"([0-9.]+)\" y=\"[0-9.]+\" width=\"([0-9.]+)\" height=\"[0-9.]+\" fill=\"(#[0-9a-f]{6})\"");
  for (auto it = std::sregex_iterator(svg.begin(), svg.end(), re); it != std::sregex_iterator(); ++it)
    out.push_back(Bar{std::stod((*it)[1]), std::stod((*it)[2]), (*it)[3]});
  std::sort(out.begin(), out.end(), [](const Bar& a, const Bar& b) { return a.x < b.x; });
  return out;
}

// The SVG's own time axis: x = a + b * seconds of the day, from its first
// and last labelled tick; every tick between must lie on the same line.
struct Axis {
  double a = 0, b = 0;
  double x(double seconds) const { return a + b * seconds; }
};

Axis read_axis(const std::string& svg) {
  const std::regex re("<text class=\"tick-label\" x=\"([0-9.]+)\"[^>]*>([0-9]{2}):([0-9]{2})</text>");
  std::vector<std::pair<double, double>> ticks;  // seconds, x
  for (auto it = std::sregex_iterator(svg.begin(), svg.end(), re); it != std::sregex_iterator(); ++it)
    ticks.emplace_back(std::stoi((*it)[2]) * 3600.0 + std::stoi((*it)[3]) * 60.0, std::stod((*it)[1]));
  Axis axis;
  EXPECT_GE(ticks.size(), 3u) << svg;
  if (ticks.size() < 2) return axis;
  axis.b = (ticks.back().second - ticks.front().second) / (ticks.back().first - ticks.front().first);
  axis.a = ticks.front().second - axis.b * ticks.front().first;
  for (const auto& [seconds, x] : ticks) EXPECT_NEAR(axis.x(seconds), x, 0.15) << "tick at " << seconds;
  return axis;
}

// A page that needs the network, or runs code, is no self-contained report.
void expect_self_contained(const std::string& html) {
  const std::regex ref("(?:src|href)\\s*=\\s*[\"']([^\"']*)[\"']|url\\(\\s*['\"]?([^)'\"]*)", std::regex::icase);
  for (auto it = std::sregex_iterator(html.begin(), html.end(), ref); it != std::sregex_iterator(); ++it) {
    const std::string v = (*it)[1].matched ? (*it)[1].str() : (*it)[2].str();
    EXPECT_EQ(v.find("http:"), std::string::npos) << v;
    EXPECT_EQ(v.find("https:"), std::string::npos) << v;
    EXPECT_NE(v.rfind("//", 0), 0u) << v;
    EXPECT_EQ(v.find("file:"), std::string::npos) << v;
  }
  for (const char* tag : {"<script", "<link", "<iframe", "<object", "<embed", "@import"})
    EXPECT_EQ(html.find(tag), std::string::npos) << tag;
}

// Well-formed XML (xmllint) and HTML without an error or a warning of
// HTML Tidy's checker.
void expect_valid(const std::string& path) {
  const auto lint = run_command("xmllint --noout '" + path + "' 2>&1");
  EXPECT_EQ(lint.status, 0) << lint.text;
  const auto tidy = run_command("tidy -e -q '" + path + "' 2>&1");
  EXPECT_EQ(tidy.status, 0) << tidy.text;
}

QColor colour_of(const std::string& hex) { return QColor(QString::fromStdString(hex)); }

bool near_colour(QRgb p, const QColor& c) {
  return std::abs(qRed(p) - c.red()) <= 3 && std::abs(qGreen(p) - c.green()) <= 3 && std::abs(qBlue(p) - c.blue()) <= 3;
}

TEST(Report, TimelineShowsTheManifestsRunsInTheSvgAndInTheBrowser) {
  TempDir dir;
  zebdisk::DiskSpec spec = velmora::testing::small_spec();
  spec.runs.push_back(velmora::testing::run(T(2024, 5, 1, 10, 0, 0), T(2024, 5, 1, 10, 20, 0)));
  spec.runs.push_back(velmora::testing::run(T(2024, 5, 1, 10, 40, 0), T(2024, 5, 1, 10, 50, 0)));
  spec.runs.push_back(velmora::testing::run(T(2024, 5, 1, 11, 30, 0), T(2024, 5, 1, 11, 45, 0)));
  spec.alarms.push_back(zebdisk::AlarmSpec{T(2024, 5, 1, 10, 5, 0), T(2024, 5, 1, 10, 8, 0)});
  zebdisk::Manifest manifest;
  std::string error;
  const std::string image = dir.file("disk.img");
  ASSERT_TRUE(zebdisk::write_disk(spec, image, &manifest, &error)) << error;
  ASSERT_EQ(manifest.runs.size(), 3u);

  const std::string out = dir.file("report");
  const auto made = run_command(bin("velmora-disk") + " report '" + image + "' --html '" + out + "'");
  ASSERT_EQ(made.status, 0) << made.text;
  const std::string page = out + "/report.html";
  const std::string html = read_file(page);
  ASSERT_FALSE(html.empty());
  expect_valid(page);
  expect_self_contained(html);

  // In the SVG: a bar per run of the manifest, where its times put it on
  // the day's own axis, and the gaps between them.
  const std::string svg = day_svg(html, "2024/05/01");
  ASSERT_FALSE(svg.empty()) << html;
  const Axis axis = read_axis(svg);
  const std::vector<Bar> runs = bars(svg, "run");
  ASSERT_EQ(runs.size(), manifest.runs.size()) << svg;
  for (size_t i = 0; i < runs.size(); ++i) {
    const zebdisk::RunInfo& r = manifest.runs[i];
    EXPECT_NEAR(runs[i].x, axis.x(second_of_day(r.start)), 0.15) << "run " << i;
    EXPECT_NEAR(runs[i].x + runs[i].width, axis.x(second_of_day(r.end)), 0.25) << "run " << i;
  }
  const std::vector<Bar> gaps = bars(svg, "gap");
  ASSERT_EQ(gaps.size(), 2u) << svg;
  for (size_t i = 0; i < gaps.size(); ++i) {
    EXPECT_NEAR(gaps[i].x, axis.x(second_of_day(manifest.runs[i].end)), 0.15);
    EXPECT_NEAR(gaps[i].x + gaps[i].width, axis.x(second_of_day(manifest.runs[i + 1].start)), 0.25);
  }
  const std::vector<Bar> alarms = bars(svg, "alarm");
  ASSERT_EQ(alarms.size(), 1u);
  EXPECT_NEAR(alarms[0].x, axis.x(10 * 3600.0 + 5 * 60), 0.15);

  // What the browser draws: along the middle of the recordings lane, the
  // run colour where the runs are and the gap colour between them, on one
  // straight scale.
  if (run_command("command -v chromium").status != 0) {
    GTEST_SKIP() << "chromium is not installed (scripts/install-deps installs it): the rendering is not checked";
  }
  TempDir profile;
  const std::string png = dir.file("report.png");
  const auto shot = run_command(
      "timeout 300 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
      "--disable-background-networking --disable-component-update --disable-sync --user-data-dir='" +
      profile.path() + "' --screenshot='" + png + "' --window-size=1200,1600 'file://" + page + "' 2>&1");
  ASSERT_EQ(shot.status, 0) << shot.text;
  QImage picture;
  ASSERT_TRUE(picture.load(QString::fromStdString(png))) << shot.text;
  picture = picture.convertToFormat(QImage::Format_RGB32);
  const QColor run_colour = colour_of(runs[0].fill);
  const QColor gap_colour = colour_of(gaps[0].fill);
  // The first band of run colour from the top is the first day's lane.
  int top = -1, bottom = -1;
  for (int y = 0; y < picture.height() && bottom < 0; ++y) {
    bool any = false;
    for (int x = 0; x < picture.width() && !any; ++x) any = near_colour(picture.pixel(x, y), run_colour);
    if (any && top < 0) top = y;
    if (!any && top >= 0) bottom = y;
  }
  ASSERT_GE(top, 0) << "no run colour in " << png;
  const int row = (top + bottom) / 2;
  std::vector<std::pair<int, int>> segments;  // first and last pixel of each stretch of run colour
  for (int x = 0; x < picture.width(); ++x) {
    if (!near_colour(picture.pixel(x, row), run_colour)) continue;
    if (segments.empty() || segments.back().second != x - 1)
      segments.emplace_back(x, x);
    else
      segments.back().second = x;
  }
  ASSERT_EQ(segments.size(), manifest.runs.size()) << "row " << row << " of " << png;
  // Pixels against seconds, fixed by the first run's start and the last
  // run's end; the other edges must fall where their times say.
  const double s0 = second_of_day(manifest.runs.front().start), s1 = second_of_day(manifest.runs.back().end);
  const double scale = (segments.back().second + 1 - segments.front().first) / (s1 - s0);
  auto pixel = [&](double s) { return segments.front().first + (s - s0) * scale; };
  for (size_t i = 0; i < segments.size(); ++i) {
    EXPECT_NEAR(segments[i].first, pixel(second_of_day(manifest.runs[i].start)), 2.0) << "run " << i;
    EXPECT_NEAR(segments[i].second + 1, pixel(second_of_day(manifest.runs[i].end)), 2.0) << "run " << i;
  }
  for (size_t i = 0; i + 1 < manifest.runs.size(); ++i) {
    const double middle = (second_of_day(manifest.runs[i].end) + second_of_day(manifest.runs[i + 1].start)) / 2;
    const QRgb p = picture.pixel(static_cast<int>(std::lround(pixel(middle))), row);
    EXPECT_TRUE(near_colour(p, gap_colour)) << "gap " << i << ": " << QColor(p).name().toStdString();
  }
}

// A disk whose index lost a block, whose copy 1 has a damaged volume
// record, whose clock was set back, beside an acquisition record that is no
// JSON: the report is made all the same and says what it could not use.
TEST(Report, DamagedDiskAndBrokenRecordAreReportedNotFatal) {
  TempDir dir;
  zebdisk::DiskSpec spec = velmora::testing::small_spec();
  spec.generations[0] = 0;
  spec.generations[1] = -1;
  spec.generations[2] = 2;
  spec.start_record = 24995;  // the first five records in index block 0, the rest in block 1
  spec.runs.push_back(velmora::testing::run(T(2024, 5, 1, 10, 0, 0), T(2024, 5, 1, 10, 0, 29)));
  spec.runs.push_back(velmora::testing::run(T(2024, 5, 1, 9, 0, 0), T(2024, 5, 1, 9, 0, 8), 1));
  velmora::testing::lose_index_block(&spec, 0);
  zebdisk::Manifest manifest;
  std::string error;
  const std::string image = dir.file("disk.img");
  ASSERT_TRUE(zebdisk::write_disk(spec, image, &manifest, &error)) << error;
  ASSERT_TRUE(write_file(image + ".json", "{\"kind\": \"disk image acquisition\", \"image\": {\"sha256\": "));

  const std::string out = dir.file("report");
  const auto made = run_command(bin("velmora-disk") + " report '" + image + "' --html '" + out + "'");
  ASSERT_EQ(made.status, 0) << made.text;
  const std::string page = out + "/report.html";
  const std::string html = read_file(page);
  expect_valid(page);
  expect_self_contained(html);
  EXPECT_NE(html.find("disk.img.json is not an acquisition record"), std::string::npos);

  // The management copies as the writer wrote them: copy 1's volume record
  // damaged, and the copy of the newest generation (generation g is
  // written to copy g mod 3) chosen.
  EXPECT_EQ(manifest.generation_of_copy[1], -1);
  EXPECT_NE(html.find("<tr><td>1</td><td><span class=\"bad\">damaged</span></td>"), std::string::npos);
  const int newest = *std::max_element(manifest.generation_of_copy, manifest.generation_of_copy + 3);
  const int chosen = newest % 3;
  EXPECT_NE(html.find("<tr><td>" + std::to_string(chosen) + "</td><td>generation " +
                      std::to_string(manifest.generation_of_copy[chosen]) + "</td><td>chosen (read first)</td>"),
            std::string::npos)
      << html.substr(html.find("id=\"copies\""));

  // The records the lost block held come back as a recovered run: camera 1
  // from the run's first GOP to the last GOP of block 0's last record.
  const zebdisk::RecTime* last_lost = nullptr;
  for (const zebdisk::RecordInfo& rec : manifest.records)
    if (rec.block == 0 && !rec.gops.empty()) last_lost = &rec.gops.back().time;
  ASSERT_NE(last_lost, nullptr);
  const std::string svg = day_svg(html, "2024/05/01");
  const Axis axis = read_axis(svg);
  const std::vector<Bar> recovered = bars(svg, "recovered");
  ASSERT_EQ(recovered.size(), 1u) << svg;
  EXPECT_NEAR(recovered[0].x, axis.x(10 * 3600.0), 0.15);
  EXPECT_NEAR(recovered[0].x + recovered[0].width, axis.x(second_of_day(*last_lost)), 0.25);

  // The clock set back: the index's first record after the first run is
  // stamped earlier than the one before it.
  const zebdisk::RecordInfo* before = nullptr;
  const zebdisk::RecordInfo* after = nullptr;
  for (size_t i = 1; i < manifest.records.size(); ++i) {
    if (manifest.records[i].run != manifest.records[i - 1].run) {
      before = &manifest.records[i - 1];
      after = &manifest.records[i];
    }
  }
  ASSERT_NE(after, nullptr);
  ASSERT_GE(before->block, 1);  // read through the index
  EXPECT_NE(html.find("<td>" + zebdisk::format_time(before->time) + "</td><td>" + zebdisk::format_time(after->time) +
                      "</td>"),
            std::string::npos)
      << html.substr(html.find("id=\"clock\""));
}

// A run's thumbnail is the first picture the recorder recorded in it: the
// clip's first picture as ffmpeg decodes it, shrunk the same way. When the
// index has lost the run, the scan's recovered run shows the same picture.
class ReportThumbnail : public ::testing::TestWithParam<bool> {};

TEST_P(ReportThumbnail, IsTheRunsFirstRecordedPicture) {
  const bool index_lost = GetParam();
  TempDir dir;
  zebdisk::DiskSpec spec = velmora::testing::small_spec();
  spec.clips_folder = velmora::testing::clips_dir();
  spec.pictures_per_gop = 5;
  spec.runs.push_back(velmora::testing::run(T(2024, 5, 1, 10, 0, 0), T(2024, 5, 1, 10, 0, 9)));
  if (index_lost) velmora::testing::lose_index_block(&spec, 0);  // the run's records are all in block 0
  zebdisk::Manifest manifest;
  std::string error;
  const std::string image = dir.file("disk.img");
  ASSERT_TRUE(zebdisk::write_disk(spec, image, &manifest, &error)) << error;
  const auto made = run_command(bin("velmora-disk") + " report '" + image + "' --html '" + dir.file("report") + "'");
  ASSERT_EQ(made.status, 0) << made.text;
  const std::string html = read_file(dir.file("report/report.html"));
  if (index_lost) {
    EXPECT_NE(html.find("Recovered, camera 1, 2024/05/01 10:00:00 \u2013 10:00:09 (10 GOPs)</p><figure>"),
              std::string::npos)
        << html;
  }
  std::smatch m;
  ASSERT_TRUE(std::regex_search(html, m,
                                std::regex("<img alt=\"camera 1\" width=\"([0-9]+)\" height=\"([0-9]+)\" "
                                           "src=\"data:image/jpeg;base64,([A-Za-z0-9+/=]+)\"")))
      << html;
  const int width = std::stoi(m[1]), height = std::stoi(m[2]);
  ASSERT_EQ(width, 160);  // 704 x 480 shrunk to 160 wide, whole 8-row blocks kept
  ASSERT_EQ(height, 104);
  ASSERT_TRUE(write_file(dir.file("thumb.b64"), m[3].str()));
  auto gray = [](const std::string& command) {
    const auto r = run_command(command);
    EXPECT_EQ(r.status, 0) << command;
    return r.text;
  };
  const std::string ours =
      gray("base64 -d '" + dir.file("thumb.b64") + "' > '" + dir.file("thumb.jpg") + "' && ffmpeg -v error -i '" +
           dir.file("thumb.jpg") + "' -f rawvideo -pix_fmt gray - 2>/dev/null");
  // The shrunk picture is 160 x 109; the thumbnail its top 104 rows.
  const std::string reference =
      gray("ffmpeg -v error -i '" + zebdisk::folder_clip(spec, 0) +
           "' -frames:v 1 -vf scale=160:109:flags=area,crop=160:104:0:0 -f rawvideo -pix_fmt gray - 2>/dev/null");
  ASSERT_EQ(ours.size(), static_cast<size_t>(width * height));
  ASSERT_EQ(reference.size(), ours.size());
  double difference = 0;
  for (size_t i = 0; i < ours.size(); ++i)
    difference += std::abs(static_cast<uint8_t>(ours[i]) - static_cast<uint8_t>(reference[i]));
  // About 3 for the right picture; a picture upside down, or the clip's
  // tenth picture, differs by 7 or more.
  EXPECT_LT(difference / static_cast<double>(ours.size()), 4.5);
}

INSTANTIATE_TEST_SUITE_P(Report, ReportThumbnail, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) {
                           return p.param ? std::string("Recovered") : std::string("Indexed");
                         });

// Texts from a disk or a record reach the page only as text.
TEST(Report, TextFromTheDiskIsEscaped) {
  exporter::ReportData d;
  d.source = "a<b>&\"c'\x01\xff.img";
  d.image = true;
  d.acquisition.read = true;
  d.acquisition.model = "</td><script>alert(1)</script>";
  d.acquisition.serial = "]]><![CDATA[";
  d.acquisition.sha256 = std::string(64, 'a');
  d.notes.push_back("<img src=\"https://example.invalid/x.png\"/>");
  exporter::ReportRun run;
  run.start = 1714557600;  // 2024/05/01 10:00:00
  run.end = run.start + 60;
  run.pictures_note = "<iframe src=//x>";
  d.runs.push_back(run);
  const std::string html = exporter::render_report_html(d);
  TempDir dir;
  ASSERT_TRUE(write_file(dir.file("report.html"), html));
  expect_valid(dir.file("report.html"));
  expect_self_contained(html);
  EXPECT_NE(html.find("&lt;/td&gt;&lt;script&gt;"), std::string::npos);
  EXPECT_NE(html.find("a&lt;b&gt;&amp;&quot;c&#39;"), std::string::npos);
}

// A damaged entry claiming a century of recording gives a page of bounded
// size that says it was cut, not a timeline for every day.
TEST(Report, AnEntryClaimingYearsIsDrawnOnlyInPart) {
  exporter::ReportData d;
  exporter::ReportRun run;
  run.start = 946684800;                          // 2000/01/01
  run.end = run.start + int64_t{100} * 31557600;  // a hundred years on
  d.runs.push_back(run);
  const std::string html = exporter::render_report_html(d);
  size_t days = 0;
  for (size_t at = html.find("<section class=\"day\">"); at != std::string::npos;
       at = html.find("<section class=\"day\">", at + 1))
    ++days;
  EXPECT_GT(days, 0u);
  EXPECT_LE(days, 400u);
  EXPECT_LT(html.size(), 4u << 20);
  EXPECT_NE(html.find("only the first ones found are drawn"), std::string::npos);
}

}  // namespace
