// velmora: the viewer program.
//
//   velmora [--home DIR] [--lang ja|en] [--connect N] [--screenshot-dir DIR]
//           [--screenshot-interval S] [--quit-after S]
//
// --home names the program folder (else VELMORA_HOME, else
// ~/.local/share/velmora). --lang chooses the language of the window over
// the "Language" value of "sn.ini" and the locale. --connect N connects to the recorder of list
// entry N once the window is up, as a double click on its line would.
// --screenshot-dir saves a picture of the main window every few seconds
// (--screenshot-interval, default 3) into that folder; --quit-after ends the
// program after S seconds. The last three serve the demo, which runs without
// a display. Beside each picture a text file (same name, ".cells") gives the
// place of each shown picture cell in it, one line "NAME X Y WIDTH HEIGHT"
// in the picture's pixels, so that a check can find the cameras.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QListWidget>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <QTranslator>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "language.h"
#include "mainview.h"
#include "program_folder.h"
#include "settings.h"
#include "ui_support.h"
#include "viewer_windows.h"

namespace {

void usage(FILE* out) {
  std::fputs(
      "Usage: velmora [options]\n"
      "\n"
      "Shows the live pictures and sound of the cameras of ZEB networked video\n"
      "recorders, plays back a recorder disk attached to the PC (or an image of\n"
      "one), copies recorded spans to the PC and saves still pictures. The\n"
      "recorders it connects to are listed in its program folder.\n"
      "\n"
      "  --home DIR               the program folder (default $VELMORA_HOME or ~/.local/share/velmora)\n"
      "  --lang ja|en             the language of the window (default: the \"Language\" value of\n"
      "                           sn.ini, else Japanese in a Japanese locale and English in others)\n"
      "  --connect N              connect to the recorder of list entry N at start\n"
      "  --screenshot-dir DIR     save a picture of the main window every few seconds into DIR\n"
      "  --screenshot-interval S  seconds between pictures (default 3)\n"
      "  --quit-after S           end the program after S seconds\n"
      "  --help                   show this text\n"
      "  --version                show the version\n",
      out);
}

// Saves a picture of the window and, beside it, where its picture cells lie.
void save_screenshot(QWidget& window, const QString& path) {
  const QPixmap picture = window.grab();
  if (!picture.save(path)) {
    std::fprintf(stderr, "velmora: cannot save %s\n", path.toLocal8Bit().constData());
    return;
  }
  const qreal scale = picture.devicePixelRatio();
  QFile cells(path.left(path.lastIndexOf(QLatin1Char('.'))) + QStringLiteral(".cells"));
  if (!cells.open(QIODevice::WriteOnly | QIODevice::Truncate)) return;
  for (QWidget* w : window.findChildren<QWidget*>()) {
    if (!w->objectName().startsWith(QStringLiteral("Image1_")) || !w->isVisible()) continue;
    const QPoint at = w->mapTo(&window, QPoint(0, 0));
    cells.write(QStringLiteral("%1 %2 %3 %4 %5\n")
                    .arg(w->objectName())
                    .arg(qRound(at.x() * scale))
                    .arg(qRound(at.y() * scale))
                    .arg(qRound(w->width() * scale))
                    .arg(qRound(w->height() * scale))
                    .toUtf8());
  }
}

}  // namespace

int main(int argc, char** argv) {
  using namespace velmora::viewer;
  QString home, screenshot_dir, lang;
  int connect_entry = 0;
  double screenshot_interval_s = 3, quit_after_s = 0;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    auto value = [&](const char* what) -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "velmora: %s needs a value\n", what);
        std::exit(2);
      }
      return argv[++i];
    };
    if (!std::strcmp(a, "--help") || !std::strcmp(a, "-h")) {
      usage(stdout);
      return 0;
    } else if (!std::strcmp(a, "--version")) {
      std::printf("velmora %s\n", VELMORA_VERSION);
      return 0;
    } else if (!std::strcmp(a, "--home")) {
      home = QString::fromLocal8Bit(value(a));
    } else if (!std::strcmp(a, "--lang")) {
      lang = QString::fromLocal8Bit(value(a));
      if (!language_named(lang)) {
        std::fprintf(stderr, "velmora: --lang takes ja or en, not '%s'\n", argv[i]);
        return 2;
      }
    } else if (!std::strcmp(a, "--connect")) {
      connect_entry = std::atoi(value(a));
    } else if (!std::strcmp(a, "--screenshot-dir")) {
      screenshot_dir = QString::fromLocal8Bit(value(a));
    } else if (!std::strcmp(a, "--screenshot-interval")) {
      screenshot_interval_s = std::atof(value(a));
    } else if (!std::strcmp(a, "--quit-after")) {
      quit_after_s = std::atof(value(a));
    } else if (a[0] == '-' && std::strncmp(a, "-platform", 9) != 0) {
      std::fprintf(stderr, "velmora: unknown option '%s'\n\n", a);
      usage(stderr);
      return 2;
    }
  }

  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Velmora"));
  if (home.isEmpty()) home = default_program_folder();
  home = QDir(home).absolutePath();
  // The current folder becomes the picture folder at start: a folder given
  // relative to where the program was started is taken from there.
  if (!screenshot_dir.isEmpty()) screenshot_dir = QDir(screenshot_dir).absolutePath();

  QString error;
  if (!prepare_program_folder(home, &error)) {
    std::fprintf(stderr, "velmora: %s\n", error.toLocal8Bit().constData());
    return 1;
  }
  QDir::setCurrent(home);

  const ViewerSettings sn(QDir(home).filePath(QString::fromLatin1(kViewerSettingFile)).toStdString());
  const QString chosen = QString::fromStdString(sn.read("Language").value_or(std::string()));
  if (!chosen.isEmpty() && !language_named(chosen))
    std::fprintf(stderr, "velmora: sn.ini's Language=%s names no language (ja or en); it is passed over\n",
                 chosen.toLocal8Bit().constData());
  QTranslator translator;
  if (!install_translation(choose_language(lang, chosen, message_locale()), translator, &error))
    std::fprintf(stderr, "velmora: %s\n", error.toLocal8Bit().constData());

  InstanceLock lock;
  if (!lock.acquire(home)) {
    show_message(nullptr, MainView::tr("既に起動されています。"));
    return 1;
  }

  // A desktop font larger than the design's makes the windows larger with it,
  // as far as the screen has room.
  const QScreen* screen = QGuiApplication::primaryScreen();
  set_layout_scale(layout_scale_for(QApplication::font(), screen ? screen->availableGeometry().size() : QSize(),
                                    QSize(MainView::kFormWidth, MainView::kFormHeight)));

  MainView window;
  MainView::StartOptions options;
  options.program_folder = home;
  if (!window.startup(options)) return 1;
  new ViewerWindows(window);
  window.show();

  if (connect_entry > 0) {
    QTimer::singleShot(300, &window, [&window, connect_entry] {
      auto* list = window.findChild<QListWidget*>(QStringLiteral("List1"));
      for (int row = 0; list && row < list->count(); ++row) {
        const std::string line = list->item(row)->text().toStdString();
        if (recorder_number_from_line(line) == connect_entry) {
          window.connect_list_row(row);
          return;
        }
      }
      std::fprintf(stderr, "velmora: no list entry %d to connect to\n", connect_entry);
    });
  }

  QTimer screenshots;
  int shot = 0;
  if (!screenshot_dir.isEmpty()) {
    QDir().mkpath(screenshot_dir);
    QObject::connect(&screenshots, &QTimer::timeout, &window, [&] {
      const QString path =
          QDir(screenshot_dir).filePath(QStringLiteral("velmora-%1.png").arg(++shot, 4, 10, QLatin1Char('0')));
      save_screenshot(window, path);
    });
    screenshots.start(static_cast<int>(screenshot_interval_s * 1000));
  }
  if (quit_after_s > 0) QTimer::singleShot(static_cast<int>(quit_after_s * 1000), &window, &QWidget::close);

  const int result = app.exec();
  window.shutdown();
  return result;
}
