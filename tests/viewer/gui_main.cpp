// The GUI tests run offscreen, one QApplication per test process, with the
// sound going nowhere.
#include <gtest/gtest.h>

#include <QApplication>
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
