// velmora-verify RECORD.json: recomputes the hashes an export's custody
// record lists (the files written, and the source's GOPs where the source is
// at hand) and says plainly whether everything matches.
#include <cstdio>
#include <cstring>

#include "exporter/custody.h"

namespace {

void usage(FILE* out) {
  std::fputs(
      "Usage: velmora-verify RECORD.json\n"
      "\n"
      "Checks an export against its custody record: the SHA-256 of every file\n"
      "the record lists (looked for beside the record) and, where the source\n"
      "the record names is at hand (a disk image or a copy folder), of every\n"
      "GOP read from it. Exits 0 when everything matches, 1 on any mismatch\n"
      "or missing file, 2 when the record cannot be read.\n"
      "\n"
      "  --help       show this text\n"
      "  --version    show the version\n",
      out);
}

}  // namespace

int main(int argc, char** argv) {
  const char* record = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
      usage(stdout);
      return 0;
    }
    if (!std::strcmp(argv[i], "--version")) {
      std::printf("velmora-verify %s\n", VELMORA_VERSION);
      return 0;
    }
    if (argv[i][0] == '-' || record) {
      usage(stderr);
      return 2;
    }
    record = argv[i];
  }
  if (!record) {
    usage(stderr);
    return 2;
  }
  const exporter::Verification v = exporter::verify_record(record);
  if (!v.read) {
    std::fprintf(stderr, "velmora-verify: %s\n", v.error.c_str());
    return 2;
  }
  size_t gops = 0, gops_matching = 0;
  for (const exporter::Check& c : v.checks) {
    if (c.what.rfind("source GOP ", 0) == 0 && c.matches) {
      ++gops;
      ++gops_matching;
      continue;  // matching GOPs are counted, not listed
    }
    if (c.what.rfind("source GOP", 0) == 0) ++gops;
    std::printf("%s: %s%s%s\n", c.what.c_str(), c.matches ? "matches" : "DOES NOT MATCH", c.detail.empty() ? "" : " - ",
                c.detail.c_str());
  }
  if (v.source_checked) {
    std::printf("source: %zu of %zu GOPs match\n", gops_matching, gops);
  } else {
    std::printf("source: not checked (%s)\n", v.source_note.c_str());
  }
  if (v.all_match()) {
    std::printf("Everything matches.\n");
    return 0;
  }
  std::printf("MISMATCH: the export is not what the record says.\n");
  return 1;
}
