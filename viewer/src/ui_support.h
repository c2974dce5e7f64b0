// What every window of the viewer shares: message boxes, waits that keep the
// windows painted, the coordinate unit of the layouts, and the waits and
// limits that tests shorten.
#pragma once
#include <QString>
#include <functional>

class QWidget;

namespace velmora::viewer {

enum class MessageIcon { kNone, kInformation, kCritical, kExclamation };

// One message box as the user sees it.
struct Message {
  QString text;
  QString caption;
  MessageIcon icon = MessageIcon::kNone;
  bool system_modal = false;  // shown above every window of the desktop
};

// Shows a message box and returns when the user has closed it. Tests install
// a handler that records the message instead of showing it.
void show_message(QWidget* parent, const Message& message);
void show_message(QWidget* parent, const QString& text, MessageIcon icon = MessageIcon::kNone,
                  bool system_modal = false);
// A library's message text or caption in the window's language; a text the
// translation does not know stays as it is.
QString library_text(const char* text);
using MessageHandler = std::function<void(const Message&)>;
void set_message_handler(MessageHandler handler);

// Asks a yes/no question and returns true for yes. Tests install a handler
// that records the question and gives the answer.
bool ask_yes_no(QWidget* parent, const QString& text);
using QuestionHandler = std::function<bool(const Message&)>;
void set_question_handler(QuestionHandler handler);

// The viewer's layouts are given in twips; the screen has 15 twips a pixel.
constexpr int kTwipsPerPixel = 15;
constexpr int px(int twips) { return twips / kTwipsPerPixel; }

// Waits and limits of the viewer. Tests make the waits shorter (the recorder
// stand-in answers at once) and the picture supervision quicker.
struct Timing {
  int wait_percent = 100;         // every wait_ms() is this share of its time
  int supervision_ticks = 2000;   // clock ticks between two picture checks
  int slot_age_ticks = 100;       // ticks after which an open control slot closes
  int stale_ms = 2000;            // a live picture unchanged this long is shown as stale
  int silent_ms = 5000;           // no camera's picture this long: the recorder is not sending
  int reconnect_first_ms = 1000;  // first wait before asking a silent recorder again
  int reconnect_last_ms = 30000;  // the waits double up to this
};
Timing& timing();

// Waits ms milliseconds (scaled by timing().wait_percent) while the windows
// keep painting and the timers keep running; user input waits until after.
void wait_ms(int ms);

}  // namespace velmora::viewer
