// The report on a recorder disk or its image as one HTML page that needs
// nothing from the network: the disk's facts and its acquisition record,
// the management copies, a timeline per day of the recording runs, alarms,
// gaps and the runs the scan recovered, the first picture of each camera
// per run, the recording and alarm lists, the times where the index's clock
// went backwards, and the scan's counts.
//
// The report is gathered from the disk opened through the library
// (hdd_open) and then rendered; the two halves are apart so that the page
// can be made from any data, bad data included.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "exporter/acquire.h"
#include "exporter/exporter.h"
#include "exporter/scan.h"

namespace exporter {

// The first picture of one camera in a run, as a JPEG thumbnail.
struct Thumbnail {
  int camera = 0;     // 1 to 16, as the frame headers number the streams
  uint8_t shows = 0;  // camera-set bits: the cameras the picture shows (bit 0 camera 1)
  UnixSeconds time = 0;
  int width = 0, height = 0;  // of the thumbnail
  std::vector<uint8_t> jpeg;
};

// An entry of the recording list.
struct ReportRun {
  int list_index = 0;
  bool damaged = false;  // its entry fails its checks: no times
  UnixSeconds start = 0, end = 0;
  int kind = 0;
  bool continuation = false;  // continues the entry before it
  std::vector<Thumbnail> pictures;
  std::string pictures_note;  // why a camera's picture is missing
};

// The first pictures of a run the scan recovered (of its camera).
struct RecoveredPictures {
  std::vector<Thumbnail> pictures;
  std::string note;
};

struct ReportAlarm {
  int index = 0;
  bool damaged = false;
  UnixSeconds start = 0, end = 0;
};

// Two records of the index, one after the other, the later one stamped
// earlier: the recorder's clock was set back (or a record is wrong).
struct ClockAnomaly {
  int block = 0, record = 0;  // of the later record
  UnixSeconds before = 0;     // the earlier record's time
  UnixSeconds after = 0;      // the later record's time
};

struct ReportData {
  std::string source;   // how the report names the disk
  std::string program;  // name and version
  std::string generated;
  uint64_t size_bytes = 0;
  int32_t cylinders = 0;

  // The acquisition record beside an image (read is false, with the reason,
  // when there is none or it cannot be used), and "<image>.sha256".
  bool image = false;
  AcquisitionRecord acquisition;
  std::string sum_file;  // the hash in "<image>.sha256", empty when none
  uint64_t image_bytes = 0;

  // The management region: each copy's volume record (its generation, -1
  // damaged), the write generation chosen and the order the copies are
  // read in, and the copy each ring came from (-1: none passed).
  int generation = 0;
  int copy_order[3] = {0, 2, 1};
  int generation_of_copy[3] = {-1, -1, -1};
  int ring_header_copy[4] = {-1, -1, -1, -1};  // time attributes, blocks, recordings, alarms
  int ring_table_copy[4] = {-1, -1, -1, -1};
  bool index_complete = false;  // every part of the index could be read

  std::vector<ReportRun> runs;  // oldest first
  std::vector<ReportAlarm> alarms;
  std::vector<ClockAnomaly> anomalies;  // the first ones found
  size_t anomaly_count = 0;
  size_t index_records = 0;

  bool scanned = false;
  std::string scan_error;
  ScanResult scan;
  std::vector<RecoveredPictures> recovered_pictures;  // one per scan.recovered

  // What the report could not find out, in plain words.
  std::vector<std::string> notes;
};

struct ReportOptions {
  std::string source;  // how the report names the disk
  std::string image;   // the image file, for its acquisition record; empty for a drive
  std::string program = "velmora";
  bool thumbnails = true;
  std::function<void(int percent)> scan_progress;
};

// Gathers the report from the disk opened through the library (hdd_open
// done). The playback position moves.
ReportData gather_report(const ReportOptions& options);

// The page: polyglot HTML (it reads as XHTML too), styles inline, pictures
// as data: URIs, every text from the disk or a record escaped.
std::string render_report_html(const ReportData& data);

// Writes html as "report.html" in folder (made when missing), through a new
// file renamed into place. The path written, or empty with *error set.
std::string write_report_file(const std::string& folder, const std::string& html, std::string* error);

}  // namespace exporter
