#include "libraries.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace velmora::viewer::lib {
namespace {

struct LibraryState {
  const char* file;
  bool tried = false;
  void* handle = nullptr;
};

std::mutex g_mutex;
LibraryState g_libraries[] = {{"libbrinlib.so"}, {"libjpegkit.so"}};
std::map<std::string, void*> g_bound;
std::set<std::string> g_reported;

std::string program_folder() {
  char path[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  std::string p(path, static_cast<size_t>(n));
  const size_t slash = p.rfind('/');
  return slash == std::string::npos ? "." : p.substr(0, slash);
}

void report_once(const std::string& what) {
  if (!g_reported.insert(what).second) return;
  std::fprintf(stderr, "velmora: %s\n", what.c_str());
}

void* open_library(LibraryState& lib) {
  if (lib.tried) return lib.handle;
  lib.tried = true;
  std::vector<std::string> candidates;
  if (const char* dir = std::getenv("VELMORA_LIB_DIR"); dir && *dir)
    candidates.push_back(std::string(dir) + "/" + lib.file);
  const std::string here = program_folder();
  candidates.push_back(here + "/../lib/" + lib.file);
  // The installed layout: the package's own library folder, named by the
  // build relative to the program's folder.
  candidates.push_back(here + "/" VELMORA_INSTALLED_LIB_DIR "/" + lib.file);
  candidates.push_back(here + "/" + lib.file);
  candidates.push_back(lib.file);
  std::string errors;
  for (const std::string& c : candidates) {
    if (c.find('/') != std::string::npos && ::access(c.c_str(), F_OK) != 0) continue;
    if (void* h = ::dlopen(c.c_str(), RTLD_NOW | RTLD_LOCAL)) {
      lib.handle = h;
      return h;
    }
    if (const char* e = ::dlerror()) errors += std::string("\n  ") + e;
  }
  report_once(std::string("cannot load ") + lib.file + errors);
  return nullptr;
}

}  // namespace

void* library_handle(Library library) {
  std::lock_guard<std::mutex> g(g_mutex);
  return open_library(g_libraries[static_cast<int>(library)]);
}

void* bind(Library library, const char* name) {
  std::lock_guard<std::mutex> g(g_mutex);
  LibraryState& lib = g_libraries[static_cast<int>(library)];
  const std::string key = std::string(lib.file) + ":" + name;
  if (auto it = g_bound.find(key); it != g_bound.end()) return it->second;
  void* handle = open_library(lib);
  void* fn = handle ? ::dlsym(handle, name) : nullptr;
  if (handle && !fn) report_once(std::string(lib.file) + " has no function " + name);
  g_bound[key] = fn;
  return fn;
}

bool available(Library library, const char* name) { return bind(library, name) != nullptr; }

}  // namespace velmora::viewer::lib
