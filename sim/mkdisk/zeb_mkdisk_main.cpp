// zeb-mkdisk: writes a recorder disk image from a description of what the
// recorder recorded, and prints the manifest of what it wrote.
#include <cstdio>
#include <cstring>
#include <string>

#include "zebdisk/disk_image.h"
#include "zebsim/packets.h"

namespace {

void usage(FILE* out) {
  std::fputs(
      "Usage: zeb-mkdisk [--quiet] DESCRIPTION IMAGE\n"
      "\n"
      "Writes IMAGE, a sparse recorder disk image, from the DESCRIPTION file\n"
      "('-' reads it from the standard input), and prints the manifest: every\n"
      "run, alarm, index record, GOP and frame with its time and sector.\n"
      "--quiet prints nothing but errors.\n"
      "--help shows this text, --version the version.\n"
      "\n",
      out);
  std::fputs(zebdisk::description_help(), out);
}

}  // namespace

int main(int argc, char** argv) {
  bool quiet = false;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
      usage(stdout);
      return 0;
    }
    if (!std::strcmp(argv[i], "--version")) {
      std::printf("zeb-mkdisk %s\n", VELMORA_VERSION);
      return 0;
    }
    if (!std::strcmp(argv[i], "--quiet")) {
      quiet = true;
      continue;
    }
    args.emplace_back(argv[i]);
  }
  if (args.size() != 2) {
    usage(stderr);
    return 2;
  }
  std::string text;
  if (args[0] == "-") {
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, stdin)) > 0) text.append(buf, n);
  } else {
    const std::vector<uint8_t> bytes = zebsim::read_binary_file(args[0]);
    if (bytes.empty()) {
      std::fprintf(stderr, "zeb-mkdisk: cannot read %s\n", args[0].c_str());
      return 1;
    }
    text.assign(bytes.begin(), bytes.end());
  }
  zebdisk::DiskSpec spec;
  std::string error;
  if (!zebdisk::parse_description(text, &spec, &error)) {
    std::fprintf(stderr, "zeb-mkdisk: %s: %s\n", args[0].c_str(), error.c_str());
    return 1;
  }
  zebdisk::Manifest manifest;
  if (!zebdisk::write_disk(spec, args[1], &manifest, &error)) {
    std::fprintf(stderr, "zeb-mkdisk: %s\n", error.c_str());
    return 1;
  }
  if (!quiet) std::fputs(zebdisk::format_manifest(manifest).c_str(), stdout);
  return 0;
}
