// Acquiring a recorder disk as an image file, the way evidence is handled:
// the disk is only ever read, the image is hashed while it is written, bad
// sectors are tried again and then filled with zeros and listed, and a
// record of the acquisition is written beside the image.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "velmora/drive.h"

namespace exporter {

struct AcquireOptions {
  std::string device;               // a block device, or an image file standing in for one
  std::string output;               // the image to write; it must not exist yet
  std::string program = "velmora";  // name and version for the record
  int retries = 3;                  // further tries of a sector that failed
  // Called after each piece read with the bytes done and in all.
  std::function<void(uint64_t done, uint64_t total)> progress;
  // Asked after each piece: true stops the acquisition (nothing is kept).
  std::function<bool()> cancelled;
  // A drive already open on the device, instead of opening it here (tests
  // use it to make sectors fail).
  vp::Drive* drive = nullptr;
};

// Sectors that could not be read, counted in the device's sectors.
struct SectorRange {
  uint64_t first = 0;
  uint64_t count = 0;
};

struct AcquireResult {
  bool ok = false;
  std::string error;
  uint64_t size_bytes = 0;
  uint32_t sector_bytes = 0;
  std::vector<SectorRange> unreadable;  // filled with zeros in the image
  uint64_t retried_sectors = 0;         // sectors read only after a retry
  std::string sha256;                   // of the image, as written
  std::string model, serial;            // the drive's, where the system knows them
  bool block_device = false;
  // The block device was marked read-only in the kernel for the duration
  // (and its earlier state restored); read_only_note says why not.
  bool marked_read_only = false;
  std::string read_only_note;
  std::string started, finished;
  std::string sha256_path, record_json, record_text;  // written beside the image
};

// Reads the whole device into options.output (written under a ".part" name
// and renamed when complete) and writes "<output>.sha256" (sha256sum's
// format), "<output>.json" and "<output>.txt". On failure or cancellation
// nothing is left behind.
AcquireResult acquire_image(const AcquireOptions& options);

// The acquisition record beside an image ("<image>.json") read back.
struct AcquisitionRecord {
  bool read = false;  // it exists and is an acquisition record
  std::string error;  // why not
  std::string program, user, started, finished;
  std::string device, model, serial;
  uint64_t bytes = 0;
  std::string sha256;
  uint64_t retried_sectors = 0, unreadable_sectors = 0;
  std::string read_only_note;
};
AcquisitionRecord read_acquisition_record(const std::string& image);

// An image checked against its acquisition record.
struct ImageCheck {
  bool read = false;  // the record could be read
  std::string error;
  bool size_matches = false;
  bool sha256_matches = false;    // the image's hash against the record's
  bool sum_file_matches = false;  // "<image>.sha256" against the record's
  std::string recorded_sha256, actual_sha256;
  uint64_t recorded_bytes = 0, actual_bytes = 0;
  uint64_t unreadable_sectors = 0;  // as the record lists them
  bool all_match() const { return read && size_matches && sha256_matches && sum_file_matches; }
};

// Checks image against "<image>.json" and "<image>.sha256".
ImageCheck verify_image(const std::string& image);

}  // namespace exporter
