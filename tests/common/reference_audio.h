// IMA ADPCM as ffmpeg decodes it: the independent reference for the sound
// the libraries decode from recorder packets.
#pragma once
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace velmora::testing {

// One block of IMA ADPCM codes (two per byte, low nibble first) and the
// coder state (predictor, step index) it starts from.
struct AdpcmBlock {
  const uint8_t* codes;
  int predictor;
  int index;
};

// Decodes blocks of `bytes` codes each with ffmpeg's adpcm_ima_wav decoder:
// they go into a mono WAV file, one WAV block each, whose header carries the
// block's starting state. ffmpeg gives each header's sample first and then
// the samples of the codes; the latter are returned, block after block (two
// per byte). Empty when ffmpeg fails or the byte count is not a multiple of
// four (the WAV block's group size).
inline std::vector<int16_t> ffmpeg_ima_adpcm(const std::vector<AdpcmBlock>& blocks, size_t bytes) {
  if (blocks.empty() || bytes == 0 || bytes % 4 != 0) return {};
  const uint32_t block_align = static_cast<uint32_t>(4 + bytes);
  const uint32_t samples_per_block = static_cast<uint32_t>(1 + 2 * bytes);
  const uint32_t data_size = block_align * static_cast<uint32_t>(blocks.size());
  std::string wav;
  auto put = [&wav](uint32_t v, int n) {
    for (int i = 0; i < n; ++i) wav.push_back(static_cast<char>(v >> (8 * i)));
  };
  wav += "RIFF";
  put(4 + 28 + 12 + 8 + data_size, 4);
  wav += "WAVEfmt ";
  put(20, 4);
  put(0x11, 2);  // IMA ADPCM
  put(1, 2);     // mono
  put(8000, 4);
  put(8000 * block_align / samples_per_block, 4);
  put(block_align, 2);
  put(4, 2);  // bits per code
  put(2, 2);  // size of the extra field
  put(samples_per_block, 2);
  wav += "fact";
  put(4, 4);
  put(samples_per_block * static_cast<uint32_t>(blocks.size()), 4);
  wav += "data";
  put(data_size, 4);
  for (const AdpcmBlock& b : blocks) {
    put(static_cast<uint16_t>(b.predictor), 2);
    put(static_cast<uint8_t>(b.index), 1);
    put(0, 1);
    wav.append(reinterpret_cast<const char*>(b.codes), bytes);
  }

  char path[] = "/tmp/velmora-adpcm-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return {};
  const bool written = ::write(fd, wav.data(), wav.size()) == static_cast<ssize_t>(wav.size());
  ::close(fd);
  std::vector<int16_t> decoded;
  if (written) {
    const std::string cmd = std::string("ffmpeg -nostdin -loglevel error -i ") + path + " -f s16le -acodec pcm_s16le -";
    if (FILE* p = popen(cmd.c_str(), "r")) {
      int16_t buf[4096];
      size_t n;
      while ((n = std::fread(buf, 2, 4096, p)) > 0) decoded.insert(decoded.end(), buf, buf + n);
      if (pclose(p) != 0) decoded.clear();
    }
  }
  std::remove(path);
  if (decoded.size() != samples_per_block * blocks.size()) return {};
  std::vector<int16_t> out;
  out.reserve(2 * bytes * blocks.size());
  for (size_t b = 0; b < blocks.size(); ++b) {
    const auto first = decoded.begin() + static_cast<long>(b * samples_per_block + 1);
    out.insert(out.end(), first, first + static_cast<long>(samples_per_block - 1));
  }
  return out;
}

}  // namespace velmora::testing
