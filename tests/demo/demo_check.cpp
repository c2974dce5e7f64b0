// demo_check: checks what the demo showed and played.
//
//   demo_check SCREENSHOT_DIR CLIPS_DIR SOUND_WAV TONE_HZ
//
// The demo's viewer saves pictures of its window with a ".cells" file beside
// each (where each picture cell lies). The last picture must show the four
// simulated cameras, each in its own cell: every cell is compared with every
// picture of every camera's clip as ffmpeg decodes and scales it, and the
// cell's own camera must match it best, clearly. The sound the viewer played
// must carry the simulator's tone of TONE_HZ, not silence. Each sound output
// the viewer opens writes a WAV file of its own (SOUND_WAV, then
// SOUND_WAV.1.wav, ...): the channel engine's output is silent while nothing
// plays back, so the tone is looked for in every one of them.
//
// Exit status 0 when everything holds, 1 when something does not, 2 on bad
// arguments or unreadable inputs.
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QStringList>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kCameras = 4;
// A cell showing its camera, scaled by a different filter than ffmpeg's and
// a few pictures away from the best-matching one, stays well above this.
constexpr double kMinMatchDb = 15.0;
// The own camera must beat every other camera by this much.
constexpr double kMinMarginDb = 6.0;

struct Cell {
  QString name;
  int x = 0, y = 0, width = 0, height = 0;
};

// The clip of a camera decoded by ffmpeg, every picture scaled to WIDTH x
// HEIGHT, as packed RGB.
std::vector<std::vector<uint8_t>> reference_pictures(const QString& clip, int width, int height) {
  const std::string command = "ffmpeg -nostdin -loglevel error -i '" + clip.toStdString() +
                              "' -vf scale=" + std::to_string(width) + ":" + std::to_string(height) +
                              " -f rawvideo -pix_fmt rgb24 -";
  std::vector<std::vector<uint8_t>> pictures;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return pictures;
  const size_t size = static_cast<size_t>(width) * height * 3;
  for (;;) {
    std::vector<uint8_t> picture(size);
    if (std::fread(picture.data(), 1, size, p) != size) break;
    pictures.push_back(std::move(picture));
  }
  pclose(p);
  return pictures;
}

double psnr(const QImage& cell, const std::vector<uint8_t>& reference) {
  double sum = 0;
  const int w = cell.width(), h = cell.height();
  for (int y = 0; y < h; ++y) {
    const uint8_t* row = cell.constScanLine(y);
    const uint8_t* ref = reference.data() + static_cast<size_t>(y) * w * 3;
    for (int i = 0; i < w * 3; ++i) {
      const double d = static_cast<double>(row[i]) - ref[i];
      sum += d * d;
    }
  }
  const double mse = sum / (static_cast<double>(w) * h * 3);
  return mse <= 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

bool read_cells(const QString& path, std::vector<Cell>* cells) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return false;
  for (const QByteArray& line : f.readAll().split('\n')) {
    const QList<QByteArray> parts = line.simplified().split(' ');
    if (parts.size() != 5) continue;
    cells->push_back(
        {QString::fromUtf8(parts[0]), parts[1].toInt(), parts[2].toInt(), parts[3].toInt(), parts[4].toInt()});
  }
  return true;
}

// Checks the last picture of the window. Returns the number of failures.
int check_pictures(const QString& shots, const QString& clips) {
  const QStringList pictures = QDir(shots).entryList({QStringLiteral("velmora-*.png")}, QDir::Files, QDir::Name);
  if (pictures.isEmpty()) {
    std::printf("FAIL no picture of the window in %s\n", qPrintable(shots));
    return 1;
  }
  const QString last = QDir(shots).filePath(pictures.last());
  const QImage window = QImage(last).convertToFormat(QImage::Format_RGB888);
  std::vector<Cell> cells;
  if (window.isNull() || !read_cells(last.left(last.size() - 4) + QStringLiteral(".cells"), &cells)) {
    std::printf("FAIL cannot read %s or its cells\n", qPrintable(last));
    return 1;
  }
  std::printf("picture %s (%dx%d)\n", qPrintable(last), window.width(), window.height());
  int failures = 0;
  for (int camera = 0; camera < kCameras; ++camera) {
    const QString name = QStringLiteral("Image1_%1").arg(camera);
    const Cell* cell = nullptr;
    for (const Cell& c : cells)
      if (c.name == name) cell = &c;
    if (!cell || cell->width < 16 || cell->height < 16) {
      std::printf("FAIL cell %d is not shown\n", camera + 1);
      ++failures;
      continue;
    }
    const QImage shown = window.copy(cell->x, cell->y, cell->width, cell->height);
    double best[kCameras] = {};
    for (int source = 0; source < kCameras; ++source) {
      const QString clip = QDir(clips).filePath(QStringLiteral("cam%1_704x480.m4v").arg(source));
      for (const auto& reference : reference_pictures(clip, cell->width, cell->height))
        best[source] = std::max(best[source], psnr(shown, reference));
    }
    double other = 0;
    for (int source = 0; source < kCameras; ++source)
      if (source != camera) other = std::max(other, best[source]);
    const bool ok = best[camera] >= kMinMatchDb && best[camera] >= other + kMinMarginDb;
    std::printf("%s cell %d: own camera %.1f dB, best other camera %.1f dB\n", ok ? "ok  " : "FAIL", camera + 1,
                best[camera], other);
    failures += ok ? 0 : 1;
  }
  return failures;
}

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// Whether a WAV file holds a tone of about TONE_HZ.
bool holds_tone(const QString& path, double tone_hz) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) {
    std::printf("     no sound file %s\n", qPrintable(path));
    return false;
  }
  const QByteArray bytes = f.readAll();
  const auto* b = reinterpret_cast<const uint8_t*>(bytes.constData());
  const size_t n = static_cast<size_t>(bytes.size());
  if (n < 12 || std::memcmp(b, "RIFF", 4) != 0 || std::memcmp(b + 8, "WAVE", 4) != 0) {
    std::printf("     %s is not a WAV file\n", qPrintable(path));
    return false;
  }
  int channels = 0, rate = 0, bits = 0;
  std::vector<double> samples;
  for (size_t at = 12; at + 8 <= n;) {
    const uint32_t size = le32(b + at + 4);
    const size_t body = at + 8, end = std::min(n, body + size);
    if (!std::memcmp(b + at, "fmt ", 4) && size >= 16) {
      channels = le16(b + body + 2);
      rate = static_cast<int>(le32(b + body + 4));
      bits = le16(b + body + 14);
    } else if (!std::memcmp(b + at, "data", 4) && channels > 0 && (bits == 16 || bits == 8)) {
      const size_t step = static_cast<size_t>(channels) * (bits / 8);
      for (size_t s = body; s + step <= end; s += step)
        samples.push_back(bits == 16 ? static_cast<int16_t>(le16(b + s)) / 32768.0 : (b[s] - 128) / 128.0);
    }
    at = body + size + (size & 1);
  }
  if (samples.empty() || rate <= 0) {
    std::printf("     %s holds no 8- or 16-bit samples\n", qPrintable(path));
    return false;
  }
  // Loudness and pitch over the blocks that are not silent.
  double energy = 0;
  size_t loud = 0, crossings = 0;
  const size_t block = static_cast<size_t>(rate) / 10;
  for (size_t start = 0; start + block <= samples.size(); start += block) {
    double e = 0;
    for (size_t i = start; i < start + block; ++i) e += samples[i] * samples[i];
    if (std::sqrt(e / block) < 0.01) continue;
    energy += e;
    loud += block;
    for (size_t i = start + 1; i < start + block; ++i)
      if ((samples[i - 1] < 0) != (samples[i] < 0)) ++crossings;
  }
  const double seconds = static_cast<double>(samples.size()) / rate;
  if (loud == 0) {
    std::printf("     %s: %.1f s, silent\n", qPrintable(path), seconds);
    return false;
  }
  const double rms = std::sqrt(energy / loud);
  const double pitch_hz = crossings / 2.0 / (static_cast<double>(loud) / rate);
  const bool ok = std::fabs(pitch_hz - tone_hz) < 0.1 * tone_hz;
  std::printf("     %s: %.1f s, %.1f s audible, level %.3f, pitch %.0f Hz\n", qPrintable(path), seconds,
              static_cast<double>(loud) / rate, rms, pitch_hz);
  return ok;
}

// Checks that one of the sound files holds the tone. Returns the number of
// failures.
int check_sound(const QString& first, double tone_hz) {
  bool heard = holds_tone(first, tone_hz);
  for (int n = 1; QFile::exists(first + QStringLiteral(".%1.wav").arg(n)); ++n)
    heard = holds_tone(first + QStringLiteral(".%1.wav").arg(n), tone_hz) || heard;
  std::printf("%s sound: the %.0f Hz tone %s\n", heard ? "ok  " : "FAIL", tone_hz,
              heard ? "was played" : "was not played");
  return heard ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 || std::atof(argv[4]) <= 0) {
    std::fprintf(stderr, "usage: demo_check SCREENSHOT_DIR CLIPS_DIR SOUND_WAV TONE_HZ\n");
    return 2;
  }
  // Only for reading PNG files; no window is opened.
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  const int failures = check_pictures(QString::fromLocal8Bit(argv[1]), QString::fromLocal8Bit(argv[2])) +
                       check_sound(QString::fromLocal8Bit(argv[3]), std::atof(argv[4]));
  std::printf(failures ? "the demo check failed\n" : "the demo showed the four cameras and played their sound\n");
  return failures ? 1 : 0;
}
