// The pieces every record the exporter writes is made of.
#include "record_parts.h"

#include <openssl/evp.h>
#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <vector>

namespace exporter {

std::string iso_utc(UnixSeconds s, const char* format) {
  const std::time_t t = static_cast<std::time_t>(s);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[40];
  std::strftime(text, sizeof text, format, &tm);
  return text;
}

std::string now_iso() {
  const auto now = std::chrono::system_clock::now();
  return iso_utc(std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count());
}

std::string json_text(const std::string& s) {
  std::string out = "\"";
  for (const unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string user_name() {
  if (const passwd* pw = ::getpwuid(::getuid())) return pw->pw_name;
  const char* u = std::getenv("USER");
  return u ? u : "";
}

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) { ok_ = ctx_ && EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr) == 1; }

Sha256::~Sha256() { EVP_MD_CTX_free(ctx_); }

bool Sha256::update(const void* data, size_t n) {
  ok_ = ok_ && EVP_DigestUpdate(ctx_, data, n) == 1;
  return ok_;
}

std::string Sha256::finish() {
  uint8_t digest[32];
  unsigned int length = 0;
  ok_ = ok_ && EVP_DigestFinal_ex(ctx_, digest, &length) == 1 && length == 32;
  if (!ok_) return {};
  ok_ = false;  // a context is finished once
  std::string hex;
  for (const uint8_t b : digest) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", b);
    hex += two;
  }
  return hex;
}

std::string sha256_hex(const uint8_t* data, size_t n) {
  Sha256 hash;
  hash.update(data, n);
  return hash.finish();
}

std::string sha256_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  Sha256 hash;
  std::vector<char> buffer(1 << 20);
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    const std::streamsize got = in.gcount();
    if (got > 0 && !hash.update(buffer.data(), static_cast<size_t>(got))) return {};
  }
  return in.eof() ? hash.finish() : std::string();
}

}  // namespace exporter
