// zeb-sim: runs a simulated ZEB recorder on a loopback address until it is
// interrupted (or for --duration seconds).
#include <arpa/inet.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "zebsim/live.h"
#include "zebsim/recorder.h"
#include "zebsim/remote_copy.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

void usage(FILE* out) {
  std::fputs(
      "Usage: zeb-sim [options]\n"
      "\n"
      "Plays a ZEB recorder on a loopback address: logins on ports 5001 + 2n,\n"
      "a command connection on a port it names, and the control commands.\n"
      "\n"
      "  --address A          listen on A (a 127.x.y.z address; default 127.0.0.1)\n"
      "  --password P         the login password (default admin)\n"
      "  --name TEXT          the recorder name sent at login (default \"ZEB-5 Shop\")\n"
      "  --cameras MASK       enabled cameras as a hexadecimal bit mask (default F)\n"
      "  --connections A-B    open the login ports of connection numbers A to B\n"
      "                       (default 0-15)\n"
      "  --four-digit-year    send the clock date as yyyy/mm/dd (default yy/mm/dd)\n"
      "  --duration S         stop after S seconds (default: run until interrupted)\n"
      "  --live               send the live stream of four cameras with audio when a\n"
      "                       client asks for it (UDPup)\n"
      "  --clips DIR          the cameras' clips (default $VELMORA_CLIPS_DIR or build/clips)\n"
      "  --stream-address A   where the live stream goes (switch item 182; default\n"
      "                       the multicast group 239.1.2.3)\n"
      "  --stream-port P      its base port (switch item 183; default 50000)\n"
      "  --live-fault SPEC    send hostile live frames; may be given several times.\n"
      "                       SPEC is duplicate-header (each frame's first fragment\n"
      "                       alone, as often as the frame has fragments), overlap\n"
      "                       (every fragment declares half its stride) or flood:N\n"
      "                       (N random-byte fragments after each frame)\n"
      "  --remote-copy        serve remote copies (SendDataF/SendDataN) of a\n"
      "                       recording of the enabled cameras (at most four)\n"
      "                       and two audio channels, made from the clips\n"
      "  --copy-fault SPEC    misbehave in the remote copy: cut:PART[:BYTES] sends\n"
      "                       only BYTES of part PART (0 = the first), stall:PART:MS\n"
      "                       pauses MS ms inside it, oversize:PART announces more\n"
      "                       than 1 MiB\n"
      "  --fault SPEC         misbehave; may be given several times. SPEC is one of\n"
      "                         busy             greet \"Busy\" and close\n"
      "                         no-greeting      accept a login and say nothing\n"
      "                         refuse[:CODE]    refuse the password with CODE (default 50)\n"
      "                         no-login-reply   never answer the password\n"
      "                         short-login      a login reply of nine tokens\n"
      "                         reject-session   refuse the command connection\n"
      "                         late:MS          answer commands MS milliseconds late\n"
      "                         silent           never answer commands\n"
      "                         wrong-id         answer with another transaction ID\n"
      "                         not-ok           answer NG instead of OK\n"
      "                         close-mid-reply  send half a reply and close\n"
      "                         surplus[:BYTES]  send BYTES (default 16) more than announced\n"
      "                                          after the menu data or the play list\n"
      "                       followed by ,N to affect only the next N times and by\n"
      "                       @Word to affect only that command (e.g. late:1500,2@GetTime)\n"
      "  --help               show this text\n"
      "  --version            show the version\n",
      out);
}

bool parse_copy_fault(const std::string& spec, zebsim::CopyFaultPlan& plan) {
  char name[16] = {};
  int part = 0, value = -1;
  const int n = std::sscanf(spec.c_str(), "%15[a-z]:%d:%d", name, &part, &value);
  if (n < 2 || part < 0) return false;
  plan.part = part;
  const std::string kind = name;
  if (kind == "cut") {
    plan.fault = zebsim::CopyFault::kCut;
    if (n == 3 && value >= 0) plan.keep_bytes = static_cast<size_t>(value);
  } else if (kind == "stall" && n == 3 && value > 0) {
    plan.fault = zebsim::CopyFault::kStall;
    plan.stall_ms = value;
  } else if (kind == "oversize" && n == 2) {
    plan.fault = zebsim::CopyFault::kOversize;
  } else {
    return false;
  }
  return true;
}

bool parse_fault(const std::string& spec_in, zebsim::FaultPlan& plan) {
  std::string spec = spec_in;
  if (auto at = spec.find('@'); at != std::string::npos) {
    plan.only_word = spec.substr(at + 1);
    spec.erase(at);
  }
  if (auto comma = spec.find(','); comma != std::string::npos) {
    plan.count = std::atoi(spec.c_str() + comma + 1);
    spec.erase(comma);
  }
  std::string name = spec, arg;
  if (auto colon = spec.find(':'); colon != std::string::npos) {
    name = spec.substr(0, colon);
    arg = spec.substr(colon + 1);
  }
  using zebsim::Fault;
  if (name == "busy")
    plan.fault = Fault::kBusy;
  else if (name == "no-greeting")
    plan.fault = Fault::kNoGreeting;
  else if (name == "refuse") {
    plan.fault = Fault::kRefusePassword;
    if (!arg.empty()) plan.code = std::atoi(arg.c_str());
  } else if (name == "no-login-reply")
    plan.fault = Fault::kNoLoginReply;
  else if (name == "short-login")
    plan.fault = Fault::kShortLoginReply;
  else if (name == "reject-session")
    plan.fault = Fault::kRejectSession;
  else if (name == "late") {
    plan.fault = Fault::kLateReply;
    plan.delay_ms = std::atoi(arg.c_str());
    if (plan.delay_ms <= 0) return false;
  } else if (name == "silent")
    plan.fault = Fault::kNoReply;
  else if (name == "wrong-id")
    plan.fault = Fault::kWrongTransaction;
  else if (name == "not-ok")
    plan.fault = Fault::kNotOk;
  else if (name == "close-mid-reply")
    plan.fault = Fault::kCloseMidReply;
  else if (name == "surplus") {
    plan.fault = Fault::kSurplusData;
    if (!arg.empty()) plan.extra_bytes = std::atoi(arg.c_str());
    if (plan.extra_bytes <= 0) return false;
  } else
    return false;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  zebsim::Config config;
  std::vector<zebsim::FaultPlan> faults;
  double duration_s = 0;
  bool live = false;
  zebsim::LiveFaults live_faults;
  std::string clips_dir, stream_address;
  int stream_port = 0;
  bool remote_copy = false;
  zebsim::CopyFaultPlan copy_fault;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](const char* what) -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "zeb-sim: %s needs a value\n", what);
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      usage(stdout);
      return 0;
    } else if (a == "--version") {
      std::printf("zeb-sim %s\n", VELMORA_VERSION);
      return 0;
    } else if (a == "--address") {
      config.address = value("--address");
    } else if (a == "--password") {
      config.password = value("--password");
    } else if (a == "--name") {
      config.name = value("--name");
    } else if (a == "--cameras") {
      config.enabled_cameras = static_cast<uint16_t>(std::strtoul(value("--cameras").c_str(), nullptr, 16));
    } else if (a == "--connections") {
      const std::string v = value("--connections");
      if (std::sscanf(v.c_str(), "%d-%d", &config.first_connection, &config.last_connection) != 2 ||
          config.first_connection < 0 || config.last_connection > 15 ||
          config.first_connection > config.last_connection) {
        std::fprintf(stderr, "zeb-sim: --connections wants A-B with 0 <= A <= B <= 15\n");
        return 2;
      }
    } else if (a == "--four-digit-year") {
      config.two_digit_year = false;
    } else if (a == "--live") {
      live = true;
    } else if (a == "--live-fault") {
      const std::string spec = value("--live-fault");
      if (spec == "duplicate-header") {
        live_faults.duplicate_header = true;
      } else if (spec == "overlap") {
        live_faults.overlap = true;
      } else if (spec.rfind("flood:", 0) == 0 && std::atoi(spec.c_str() + 6) > 0) {
        live_faults.flood = std::atoi(spec.c_str() + 6);
      } else {
        std::fprintf(stderr, "zeb-sim: unknown live fault '%s' (see --help)\n", spec.c_str());
        return 2;
      }
    } else if (a == "--clips") {
      clips_dir = value("--clips");
    } else if (a == "--stream-address") {
      stream_address = value("--stream-address");
    } else if (a == "--stream-port") {
      stream_port = std::atoi(value("--stream-port").c_str());
      if (stream_port <= 0 || stream_port > 65534) {
        std::fprintf(stderr, "zeb-sim: --stream-port wants 1 to 65534\n");
        return 2;
      }
    } else if (a == "--duration") {
      duration_s = std::atof(value("--duration").c_str());
    } else if (a == "--remote-copy") {
      remote_copy = true;
    } else if (a == "--copy-fault") {
      const std::string spec = value("--copy-fault");
      if (!parse_copy_fault(spec, copy_fault)) {
        std::fprintf(stderr, "zeb-sim: bad copy fault '%s' (see --help)\n", spec.c_str());
        return 2;
      }
      remote_copy = true;
    } else if (a == "--fault") {
      zebsim::FaultPlan plan;
      const std::string spec = value("--fault");
      if (!parse_fault(spec, plan)) {
        std::fprintf(stderr, "zeb-sim: unknown fault '%s' (see --help)\n", spec.c_str());
        return 2;
      }
      faults.push_back(plan);
    } else {
      std::fprintf(stderr, "zeb-sim: unknown option '%s'\n\n", a.c_str());
      usage(stderr);
      return 2;
    }
  }

  zebsim::Recorder recorder(config);
  for (const auto& f : faults) recorder.inject(f);
  if (!stream_address.empty()) {
    in_addr a{};
    if (::inet_pton(AF_INET, stream_address.c_str(), &a) != 1) {
      std::fprintf(stderr, "zeb-sim: --stream-address wants a dotted IPv4 address\n");
      return 2;
    }
    recorder.set_switch_item("cam", 182, ntohl(a.s_addr));
  }
  if (stream_port > 0) recorder.set_switch_item("cam", 183, static_cast<uint32_t>(stream_port));
  std::unique_ptr<zebsim::LiveStream> stream;
  if (live) {
    zebsim::LiveConfig live_config;
    live_config.clips_dir = clips_dir;
    stream = std::make_unique<zebsim::LiveStream>(recorder, live_config);
    stream->set_faults(live_faults);
  }
  std::unique_ptr<zebsim::RemoteCopySource> copy_source;
  if (remote_copy) {
    zebsim::RemoteCopyConfig copy_config;
    copy_config.clips_dir = clips_dir;
    copy_config.cameras = 0;
    for (int k = 0; k < 4; ++k) copy_config.cameras += (config.enabled_cameras >> k) & 1 ? 1 : 0;
    copy_source = std::make_unique<zebsim::RemoteCopySource>(recorder, copy_config);
    copy_source->set_fault(copy_fault);
  }
  if (!recorder.start()) {
    std::fprintf(stderr, "zeb-sim: cannot listen on %s: %s\n", config.address.c_str(), recorder.error().c_str());
    return 1;
  }
  std::printf("zeb-sim: recorder \"%s\" on %s, login ports %d-%d, command port %u\n", config.name.c_str(),
              config.address.c_str(), 5001 + 2 * config.first_connection, 5001 + 2 * config.last_connection,
              recorder.command_port());
  std::fflush(stdout);
  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);
  const auto start = std::chrono::steady_clock::now();
  while (!g_stop) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (duration_s > 0 && std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() >= duration_s)
      break;
  }
  if (stream) stream->stop();
  recorder.stop();
  std::printf("zeb-sim: stopped after %d logins\n", recorder.logins());
  return 0;
}
