// The pieces every record the exporter writes is made of: times, JSON
// strings, the user, SHA-256 hashes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "exporter/exporter.h"

struct evp_md_ctx_st;  // OpenSSL's EVP_MD_CTX

namespace exporter {

// A time as UTC text (strftime format).
std::string iso_utc(UnixSeconds s, const char* format = "%Y-%m-%dT%H:%M:%SZ");
// Now, as "2026-12-07T09:00:00Z".
std::string now_iso();
// A string as a JSON string, quotes included.
std::string json_text(const std::string& s);
// The name of the user running the program.
std::string user_name();

// SHA-256 over bytes given piece by piece.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  // False once anything failed.
  bool update(const void* data, size_t n);
  // The hash in lower-case hexadecimal; empty when anything failed.
  std::string finish();

 private:
  ::evp_md_ctx_st* ctx_ = nullptr;
  bool ok_ = false;
};

}  // namespace exporter
