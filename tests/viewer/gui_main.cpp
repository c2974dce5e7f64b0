// The GUI tests run offscreen, one QApplication per test process, with the
// sound going nowhere.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstdlib>
#include <ctime>

#if defined(__SANITIZE_THREAD__)
// Qt is not built for the thread sanitizer: the synchronisation inside its
// own worker threads (the painter scales large pictures on a thread pool) is
// invisible to it. Reports whose stacks lie in Qt's libraries are Qt's.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_suppressions() {
  return "race:libQt6Core.so\n"
         "race:libQt6Gui.so\n"
         "race:libQt6Widgets.so\n";
}
#endif

int main(int argc, char** argv) {
  // One offscreen screen of 1920 x 1080, a common operator's screen: the
  // window is maximised on it and the other windows find room beside it.
  QTemporaryDir config_dir;
  if (!std::getenv("QT_QPA_PLATFORM") && config_dir.isValid()) {
    const QString path = QDir(config_dir.path()).filePath(QStringLiteral("screens.json"));
    QFile f(path);
    if (f.open(QIODevice::WriteOnly)) {
      f.write(R"({"screens": [{"name": "screen", "x": 0, "y": 0, "width": 1920, "height": 1080,)"
              R"( "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})");
      f.close();
      setenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + path.toLocal8Bit()).constData(), 1);
    }
  }
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  setenv("VELMORA_AUDIO", "none", 0);
  // Played pictures carry the local time of their frames, disk images the
  // recorder's clock in UTC: the tests read both in one zone.
  setenv("TZ", "UTC", 1);
  tzset();
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
