// Acquiring a disk as an image: the image is the device's bytes with the
// hash sha256sum gives it, the device is never opened for writing, bad
// sectors become listed zeros, and verify tells a changed image.
#include "exporter/acquire.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "exporter/custody.h"
#include "testing.h"
#include "velmora/drive.h"

namespace {

using velmora::testing::read_file;
using velmora::testing::run_command;
using velmora::testing::TempDir;
using velmora::testing::write_file;

std::string bin(const std::string& name) { return velmora::testing::build_dir() + "/bin/" + name; }

std::string sha256sum(const std::string& path) {
  const auto r = run_command("sha256sum '" + path + "' | cut -c1-64");
  return r.text.substr(0, 64);
}

// Bytes that differ from sector to sector: 4 MiB pieces and a tail of
// three sectors, so the last piece is a short one.
std::string disk_bytes() {
  std::string bytes((9u << 20) + 3 * 512, '\0');
  uint32_t x = 12345;
  for (char& c : bytes) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  return bytes;
}

// A loop device over the file, writable as far as the kernel is concerned,
// so that the acquisition has a mark to set and put back; "" where the
// machine allows none (then the file stands in for the device).
class LoopDevice {
 public:
  explicit LoopDevice(const std::string& file) {
    const auto r = run_command("losetup -f --show '" + file + "' 2>/dev/null");
    if (r.status == 0 && r.text.rfind("/dev/loop", 0) == 0) path_ = r.text.substr(0, r.text.find('\n'));
  }
  ~LoopDevice() {
    if (!path_.empty()) run_command("losetup -d '" + path_ + "'");
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST(Acquire, AnImageIsTheDevicesBytesAndTheDeviceIsOnlyRead) {
  TempDir dir;
  const std::string source = dir.file("disk.raw");
  ASSERT_TRUE(write_file(source, disk_bytes()));
  LoopDevice loop(source);
  const std::string device = loop.path().empty() ? source : loop.path();
  // strace where it is installed and the machine lets it trace.
  const bool traced = run_command("strace -f -o /dev/null true 2>/dev/null").status == 0;
  const std::string out = dir.file("disk.img");
  // LeakSanitizer stops the program's threads by tracing them, which it
  // cannot do under strace: its check is left to the untraced runs below.
  const auto r =
      run_command((traced ? "ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" strace -f -e trace=open,openat -o '" +
                                dir.file("trace") + "' "
                          : "") +
                  bin("velmora-disk") + " image '" + device + "' '" + out + "' 2>&1");
  ASSERT_EQ(r.status, 0) << r.text;

  // The image and its sum as sha256sum has them.
  EXPECT_TRUE(read_file(out) == read_file(source));
  EXPECT_EQ(read_file(out + ".sha256"), sha256sum(source) + "  disk.img\n");
  EXPECT_EQ(run_command("cd '" + dir.path() + "' && sha256sum -c disk.img.sha256").status, 0);

  // Every open of the device was for reading only.
  if (traced) {
    const std::string trace = read_file(dir.file("trace"));
    size_t opens = 0;
    for (size_t at = trace.find("\"" + device + "\""); at != std::string::npos;
         at = trace.find("\"" + device + "\"", at + 1)) {
      const std::string line = trace.substr(at, trace.find('\n', at) - at);
      EXPECT_NE(line.find("O_RDONLY"), std::string::npos) << line;
      EXPECT_EQ(line.find("O_WRONLY"), std::string::npos) << line;
      EXPECT_EQ(line.find("O_RDWR"), std::string::npos) << line;
      ++opens;
    }
    EXPECT_GE(opens, 1u) << trace;
  }

  exporter::Json record;
  std::string error;
  ASSERT_TRUE(exporter::parse_json(read_file(out + ".json"), &record, &error)) << error;
  EXPECT_EQ(record["image"]["sha256"].str(), sha256sum(source));
  EXPECT_EQ(record["image"]["bytes"].str(), std::to_string(disk_bytes().size()));
  EXPECT_EQ(record["unreadable_sectors"].str(), "0");
  if (!loop.path().empty()) {
    // Marked read-only while it was read, and writable again afterwards.
    EXPECT_TRUE(record["device"]["marked_read_only"].boolean) << read_file(out + ".txt");
    EXPECT_EQ(run_command("blockdev --getro " + loop.path()).text, "0\n");
  }

  // An image is never written over.
  const auto again = run_command(bin("velmora-disk") + " image '" + device + "' '" + out + "' 2>&1");
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.text.find("already exists"), std::string::npos) << again.text;
  EXPECT_TRUE(read_file(out) == read_file(source));

  // verify: the image as acquired, then with one byte changed.
  const auto fine = run_command(bin("velmora-disk") + " verify '" + out + "'");
  EXPECT_EQ(fine.status, 0) << fine.text;
  EXPECT_NE(fine.text.find("the image is as it was acquired"), std::string::npos) << fine.text;
  ASSERT_EQ(run_command("printf x | dd of='" + out + "' bs=1 seek=5000000 conv=notrunc 2>/dev/null").status, 0);
  const auto changed = run_command(bin("velmora-disk") + " verify '" + out + "'");
  EXPECT_EQ(changed.status, 1) << changed.text;
  EXPECT_NE(changed.text.find("SHA-256: DOES NOT MATCH"), std::string::npos) << changed.text;
}

TEST(Acquire, BadSectorsAreTriedAgainThenFilledWithZerosAndListed) {
  TempDir dir;
  const std::string source = dir.file("disk.raw");
  const std::string bytes = disk_bytes();
  ASSERT_TRUE(write_file(source, bytes));
  vp::Drive drive;
  ASSERT_TRUE(drive.open_path(source));

  // Sectors 9000 to 9009 fail every time; sector 20 only twice.
  exporter::AcquireOptions options;
  options.device = source;
  options.drive = &drive;
  options.output = dir.file("bad.img");
  drive.fail_reads_for_testing(9000 * 512, 9010 * 512);
  const exporter::AcquireResult bad = exporter::acquire_image(options);
  ASSERT_TRUE(bad.ok) << bad.error;
  ASSERT_EQ(bad.unreadable.size(), 1u);
  EXPECT_EQ(bad.unreadable[0].first, 9000u);
  EXPECT_EQ(bad.unreadable[0].count, 10u);
  std::string want = bytes;
  want.replace(9000 * 512, 10 * 512, 10 * 512, '\0');
  EXPECT_TRUE(read_file(options.output) == want);
  ASSERT_TRUE(write_file(dir.file("want.raw"), want));
  EXPECT_EQ(bad.sha256, sha256sum(dir.file("want.raw")));
  EXPECT_NE(read_file(options.output + ".txt").find("9000 to 9009"), std::string::npos);
  const exporter::ImageCheck check = exporter::verify_image(options.output);
  EXPECT_TRUE(check.all_match()) << check.error;
  EXPECT_EQ(check.unreadable_sectors, 10u);

  drive.fail_reads_for_testing(20 * 512, 21 * 512, 2);
  options.output = dir.file("retried.img");
  const exporter::AcquireResult retried = exporter::acquire_image(options);
  ASSERT_TRUE(retried.ok) << retried.error;
  EXPECT_TRUE(retried.unreadable.empty());
  EXPECT_EQ(retried.retried_sectors, 1u);
  EXPECT_TRUE(read_file(options.output) == bytes);

  // Stopped after its first piece: nothing is left behind.
  drive.fail_reads_for_testing(0, 0);
  options.output = dir.file("stopped.img");
  options.cancelled = [] { return true; };
  const exporter::AcquireResult stopped = exporter::acquire_image(options);
  EXPECT_FALSE(stopped.ok);
  EXPECT_NE(::access(options.output.c_str(), F_OK), 0);
  EXPECT_NE(::access((options.output + ".part").c_str(), F_OK), 0);
  EXPECT_NE(::access((options.output + ".json").c_str(), F_OK), 0);
}

}  // namespace
