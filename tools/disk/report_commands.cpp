// velmora-disk report: gathers what the disk holds, scans it, and writes the
// HTML report with its timelines and pictures.
#include "report_commands.h"

#include <unistd.h>

#include <cstdio>

#include "exporter/report.h"

int report_command(const std::string& image, const std::string& name, const std::string& folder) {
  exporter::ReportOptions options;
  options.source = name;
  options.image = image;
  options.program = std::string("velmora-disk ") + VELMORA_VERSION;
  const bool tty = ::isatty(2) != 0;
  options.scan_progress = [tty](int percent) {
    if (tty) std::fprintf(stderr, "\rscanning %3d%%", percent);
  };
  const exporter::ReportData data = exporter::gather_report(options);
  if (tty) std::fputc('\n', stderr);
  std::string error;
  const std::string path = exporter::write_report_file(folder, exporter::render_report_html(data), &error);
  if (path.empty()) {
    std::fprintf(stderr, "velmora-disk: %s\n", error.c_str());
    return 1;
  }
  size_t pictures = 0;
  for (const exporter::ReportRun& run : data.runs) pictures += run.pictures.size();
  std::printf("report: %s\n", path.c_str());
  std::printf("%zu recordings, %zu alarms, %zu pictures, %zu clock anomalies\n", data.runs.size(), data.alarms.size(),
              pictures, data.anomaly_count);
  if (data.scanned)
    std::printf("GOPs: %zu listed, %zu unindexed, %zu damaged\n", data.scan.listed, data.scan.unindexed,
                data.scan.damaged);
  for (const std::string& note : data.notes) std::printf("missing: %s\n", note.c_str());
  return 0;
}
