// velmora-ctl: a recorder's control connection from the command line. Logs
// in, runs the given commands in order, prints each result, and logs out.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "brinlib.h"

namespace {

void usage(FILE* out) {
  std::fputs(
      "Usage: velmora-ctl [--connection N] ADDRESS PASSWORD [COMMAND ...]\n"
      "\n"
      "Logs in to the recorder at ADDRESS, runs the commands and logs out.\n"
      "Without commands it reads the clock and the stream switch items.\n"
      "\n"
      "commands:\n"
      "  time                 read the recorder clock\n"
      "  settime DATE TIME    set it (yyyy/mm/dd hh:mm:ss)\n"
      "  camget ITEM          read a camera switch item (hexadecimal)\n"
      "  camset ITEM VALUE    write one\n"
      "  hdget ITEM           read a disk (HDD) switch item (hexadecimal)\n"
      "  jpegget ITEM         read a JPEG switch item (hexadecimal)\n"
      "  status               read the status word\n"
      "  menu                 read the menu data and list the enabled cameras\n"
      "  playlist N           fetch play list N into img/listN.txt\n"
      "\n"
      "options:\n"
      "  --connection N       the connection number to log in on (0 to 15, default 0)\n"
      "  --help               show this text\n"
      "  --version            show the version\n",
      out);
}

long hex_arg(const char* text) { return std::strtol(text, nullptr, 16); }

// A switch or status read returns the recorder's value, which may be any
// number; only the library's failure codes count as failures.
bool is_failure(int32_t v) {
  return v == -1 || v == -127 || v == -10200 || v == -10500 || v == -10501 || v == -10035 || v == -10054;
}

}  // namespace

int main(int argc, char** argv) {
  int cn = 0;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
      usage(stdout);
      return 0;
    }
    if (!std::strcmp(argv[i], "--version")) {
      std::printf("velmora-ctl %s\n", VELMORA_VERSION);
      return 0;
    }
    if (!std::strcmp(argv[i], "--connection") && i + 1 < argc) {
      cn = std::atoi(argv[++i]);
      continue;
    }
    args.emplace_back(argv[i]);
  }
  if (args.size() < 2) {
    usage(stderr);
    return 2;
  }
  const std::string address = args[0], password = args[1];
  std::vector<std::string> cmds(args.begin() + 2, args.end());
  if (cmds.empty()) cmds = {"time", "camget", "B6", "camget", "B7", "camget", "BD"};

  char name[128] = {};
  const int32_t r = brin_connect(cn, address.c_str(), password.c_str(), name);
  if (r != 0) {
    std::fprintf(stderr, "velmora-ctl: login to %s on connection %d failed (%d)\n", address.c_str(), cn, r);
    return 1;
  }
  std::printf("logged in to %s (connection %d): \"%s\"\n", address.c_str(), cn, name);
  int failures = 0;
  auto need = [&](size_t i, size_t n) {
    if (i + n >= cmds.size()) {
      std::fprintf(stderr, "velmora-ctl: %s needs %zu argument(s)\n", cmds[i].c_str(), n);
      std::exit(2);
    }
  };
  for (size_t i = 0; i < cmds.size(); ++i) {
    const std::string& c = cmds[i];
    int32_t v = 0;
    if (c == "time") {
      char date[258] = {}, time[258] = {};
      v = brin_get_time(cn, date, time);
      if (v == 0) std::printf("clock: %s %s\n", date, time);
    } else if (c == "settime") {
      need(i, 2);
      v = brin_set_time(cn, cmds[i + 1].c_str(), cmds[i + 2].c_str());
      i += 2;
      if (v == 0) std::printf("clock set\n");
    } else if (c == "camget" || c == "hdget" || c == "jpegget") {
      need(i, 1);
      const long item = hex_arg(cmds[++i].c_str());
      v = c == "camget" ? brin_cam_swget(cn, item) : c == "hdget" ? brin_hd_swget(cn, item) : brin_jpeg_swget(cn, item);
      if (!is_failure(v)) std::printf("%s %lX: %d (0x%X)\n", c.c_str(), item, v, static_cast<unsigned>(v));
    } else if (c == "camset") {
      need(i, 2);
      const long item = hex_arg(cmds[i + 1].c_str()), value = hex_arg(cmds[i + 2].c_str());
      i += 2;
      v = brin_cam_swset(cn, item, value);
      if (!is_failure(v)) std::printf("camset %lX %lX: %d\n", item, value, v);
    } else if (c == "status") {
      v = brin_rx_status(cn, 0);
      if (!is_failure(v)) std::printf("status: 0x%X\n", static_cast<unsigned>(v));
    } else if (c == "menu") {
      std::vector<uint8_t> menu(1 << 20);
      v = brin_rx_menu_data(cn, 0, menu.data());
      if (v >= 0) {
        std::printf("menu data: %d bytes; cameras:", v);
        for (int k = 0; k < 16 && k < v; ++k)
          if (menu[static_cast<size_t>(k)]) std::printf(" %d", k + 1);
        std::printf("\n");
        v = 0;
      }
    } else if (c == "playlist") {
      need(i, 1);
      v = brin_rx_playlist(cn, std::atoi(cmds[++i].c_str()));
      std::printf("play list: %d bytes\n", v);
    } else {
      std::fprintf(stderr, "velmora-ctl: unknown command '%s'\n", c.c_str());
      v = -1;
    }
    if (is_failure(v)) {
      std::fprintf(stderr, "velmora-ctl: %s failed (%d)\n", c.c_str(), v);
      ++failures;
    }
  }
  brin_unconnect(cn, 0, 0, 0);
  std::printf("logged out\n");
  return failures ? 1 : 0;
}
