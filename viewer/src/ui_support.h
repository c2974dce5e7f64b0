// What every window of the viewer shares: message boxes, waits that keep the
// windows painted, the coordinate unit of the layouts, and the waits and
// limits that tests shorten.
#pragma once
#include <QSize>
#include <QString>
#include <functional>

class QFont;
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

// The viewer's layouts are given in twips, 15 twips a pixel at the font size
// they were designed for (9 points). A larger desktop font makes every layout
// larger in proportion (the layout scale), so that its texts keep fitting.
// The screen's device pixel ratio is applied by Qt under these pixels, so
// the layouts need nothing for it.
constexpr int kTwipsPerPixel = 15;
constexpr double kDesignFontPoints = 9;
double layout_scale();
void set_layout_scale(double scale);
inline int px(int twips) { return static_cast<int>(twips * layout_scale()) / kTwipsPerPixel; }

// The layout scale for a font: its size against the design's, never below
// 1, and no larger than lets a design of design_twips still fit the screen.
double layout_scale_for(const QFont& font, const QSize& screen, const QSize& design_twips);

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
