#include "ui_support.h"

#include <QApplication>
#include <QEventLoop>
#include <QGridLayout>
#include <QMessageBox>
#include <QPushButton>
#include <QSpacerItem>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>

namespace velmora::viewer {
namespace {

std::mutex g_handler_mutex;
MessageHandler g_handler;
QuestionHandler g_question_handler;

// Keeps a box wide enough for its caption, which the window system would
// otherwise cut to its first letter.
void keep_caption_whole(QMessageBox& box) {
  auto* grid = qobject_cast<QGridLayout*>(box.layout());
  if (!grid) return;
  const int width = std::max(320, box.fontMetrics().horizontalAdvance(box.windowTitle()) + 160);
  grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Fixed), grid->rowCount(), 0, 1,
                grid->columnCount());
}

void show_dialog(QWidget* parent, const Message& m) {
  QMessageBox box(parent);
  box.setWindowTitle(m.caption.isEmpty() ? QStringLiteral("Velmora") : m.caption);
  keep_caption_whole(box);
  box.setText(m.text);
  switch (m.icon) {
    case MessageIcon::kInformation: box.setIcon(QMessageBox::Information); break;
    case MessageIcon::kCritical: box.setIcon(QMessageBox::Critical); break;
    case MessageIcon::kExclamation: box.setIcon(QMessageBox::Warning); break;
    case MessageIcon::kNone: break;
  }
  box.setStandardButtons(QMessageBox::Ok);
  if (m.system_modal) {
    box.setWindowModality(Qt::ApplicationModal);
    box.setWindowFlag(Qt::WindowStaysOnTopHint, true);
  }
  box.exec();
}

}  // namespace

void set_message_handler(MessageHandler handler) {
  std::lock_guard<std::mutex> g(g_handler_mutex);
  g_handler = std::move(handler);
}

void show_message(QWidget* parent, const Message& message) {
  MessageHandler handler;
  {
    std::lock_guard<std::mutex> g(g_handler_mutex);
    handler = g_handler;
  }
  if (handler) {
    handler(message);
    return;
  }
  show_dialog(parent, message);
}

void set_question_handler(QuestionHandler handler) {
  std::lock_guard<std::mutex> g(g_handler_mutex);
  g_question_handler = std::move(handler);
}

bool ask_yes_no(QWidget* parent, const QString& text) {
  QuestionHandler handler;
  {
    std::lock_guard<std::mutex> g(g_handler_mutex);
    handler = g_question_handler;
  }
  const Message m{text, QString(), MessageIcon::kExclamation, false};
  if (handler) return handler(m);
  QMessageBox box(parent);
  box.setWindowTitle(QStringLiteral("Velmora"));
  box.setText(text);
  box.setIcon(QMessageBox::Question);
  box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
  // The answers in the language of the question.
  box.button(QMessageBox::Yes)->setText(QCoreApplication::translate("velmora::viewer::Message", "はい"));
  box.button(QMessageBox::No)->setText(QCoreApplication::translate("velmora::viewer::Message", "いいえ"));
  box.setDefaultButton(QMessageBox::No);
  keep_caption_whole(box);
  return box.exec() == QMessageBox::Yes;
}

void show_message(QWidget* parent, const QString& text, MessageIcon icon, bool system_modal) {
  show_message(parent, Message{text, QString(), icon, system_modal});
}

namespace {
std::atomic<double> g_layout_scale{1.0};
}

double layout_scale() { return g_layout_scale.load(std::memory_order_relaxed); }
void set_layout_scale(double scale) { g_layout_scale.store(std::max(1.0, scale), std::memory_order_relaxed); }

double layout_scale_for(const QFont& font, const QSize& screen, const QSize& design_twips) {
  // A font given in pixels counts as points at the screen's 96 dots an inch.
  const double points = font.pointSizeF() > 0 ? font.pointSizeF() : font.pixelSize() * 72.0 / 96.0;
  double scale = points / kDesignFontPoints;
  if (!screen.isEmpty() && !design_twips.isEmpty())
    scale = std::min({scale, static_cast<double>(screen.width()) * kTwipsPerPixel / design_twips.width(),
                      static_cast<double>(screen.height()) * kTwipsPerPixel / design_twips.height()});
  return std::max(1.0, scale);
}

Timing& timing() {
  static Timing t;
  return t;
}

void wait_ms(int ms) {
  const long scaled = static_cast<long>(ms) * timing().wait_percent / 100;
  if (scaled <= 0) {
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    return;
  }
  QEventLoop loop;
  QTimer::singleShot(static_cast<int>(scaled), &loop, &QEventLoop::quit);
  loop.exec(QEventLoop::ExcludeUserInputEvents);
}

QString library_text(const char* text) {
  // Every text and caption the libraries show, so that the translation tools
  // find them; the libraries pass them as they are written here. A text
  // that is not here (a system error's own wording, a file name) is shown
  // as it comes.
  static constexpr const char* kLibraryTexts[] = {
      QT_TRANSLATE_NOOP("velmora::viewer::Library",
                        "To Developer:\nInvalid state in DECORE library. Check\ndecore_state first."),
      QT_TRANSLATE_NOOP("velmora::viewer::Library", "No picture header in picture buffer\n"),
      QT_TRANSLATE_NOOP("velmora::viewer::Library",
                        "To Developer:\nNo sequence header. You should put a picture\nwith sequence header at first"),
      QT_TRANSLATE_NOOP("velmora::viewer::Library", "decore"),
      QT_TRANSLATE_NOOP("velmora::viewer::Library", "error: GlobalAlloc"),
      QT_TRANSLATE_NOOP("velmora::viewer::Library", "decode_init error"),
      QT_TRANSLATE_NOOP("velmora::viewer::Library", "error: not initialized "),
      QT_TRANSLATE_NOOP("velmora::viewer::Library", "error: file open error "),
      QT_TRANSLATE_NOOP("velmora::viewer::Library", "frame index is none."),
      QT_TRANSLATE_NOOP("velmora::viewer::Library", "Error"),
  };
  (void)kLibraryTexts;
  return QCoreApplication::translate("velmora::viewer::Library", text);
}

}  // namespace velmora::viewer

// The libraries' message boxes come here (the platform layer looks this
// function up in the program). A library thread other than the window's
// does not wait for the user: its message is queued to the window's thread.
extern "C" __attribute__((visibility("default"))) void velmora_message_box(const char* text, const char* caption) {
  using namespace velmora::viewer;
  const Message m{library_text(text ? text : ""), library_text(caption ? caption : ""), MessageIcon::kExclamation,
                  false};
  QCoreApplication* app = QCoreApplication::instance();
  if (!app) {
    std::fprintf(stderr, "[%s] %s\n", caption ? caption : "", text ? text : "");
    return;
  }
  if (QThread::currentThread() == app->thread()) {
    show_message(QApplication::activeWindow(), m);
  } else {
    QMetaObject::invokeMethod(
        app, [m] { show_message(QApplication::activeWindow(), m); }, Qt::QueuedConnection);
  }
}
