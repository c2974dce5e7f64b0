// Reads any bytes as the recorder list and the viewer's settings, resolves
// every listed host text without a name lookup, and writes a key back: no
// input may crash, hang or read out of bounds, and a written key reads back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "profile.h"
#include "settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace velmora::viewer;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  Profile profile = Profile::parse(bytes);
  const ConnectionList list = ConnectionList::read(profile);
  for (const std::string& line : list.lines()) {
    const RecorderEntry* e = list.entry(recorder_number_from_line(line));
    if (!e || e->name.empty() || e->login.size() < 16) std::abort();
    const HostAddress a = resolve_host(
        e->host, [](const std::string&) { return std::optional<std::string>(); }, nullptr);
    (void)a;
  }
  profile.set_string("ZEB", "speed", "1");
  const Profile again = Profile::parse(profile.serialize());
  if (again.get_string("ZEB", "speed", "") != "1") std::abort();
  return 0;
}
