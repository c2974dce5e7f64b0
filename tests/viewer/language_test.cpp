// The viewer in English and in Japanese.
//  - The translation file against the sources, as lupdate reads them: every
//    text has a finished English translation without Japanese in it, with
//    the same placeholders.
//  - Every window opened in English shows no Japanese text and no English
//    text wider than its control; pictures of every window in both languages
//    are saved, at the screen scale of the run (the tests run once at scale
//    1 and once with QT_SCALE_FACTOR=2).
//  - At any scale a picture cell draws its picture at the cell's size in
//    device pixels: a picture of exactly that size is shown pixel for pixel.
#include "language.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QGroupBox>
#include <QRegularExpression>
#include <QTranslator>
#include <QXmlStreamReader>
#include <set>

#include "disk_fixture.h"

// The program's hook for the libraries' message boxes.
extern "C" void velmora_message_box(const char* text, const char* caption);

namespace {

using namespace velmora::viewer;

constexpr const char* kDisk =
    "run 2026/12/07 09:00:00 2026/12/07 09:00:20\n"
    "run 2026/12/07 10:00:00 2026/12/07 10:00:10 kind 1\n";

// Japanese script: kana, CJK ideographs and the full-width forms.
bool has_japanese(const QString& text) {
  for (QChar c : text) {
    const char16_t u = c.unicode();
    if ((u >= 0x3000 && u <= 0x30ff) || (u >= 0x3400 && u <= 0x9fff) || (u >= 0xff00 && u <= 0xffef)) return true;
  }
  return false;
}

// The placeholders %1 to %99 of a text, as a set.
std::set<QString> placeholders(const QString& text) {
  std::set<QString> out;
  static const QRegularExpression re(QStringLiteral("%\\d+"));
  for (auto it = re.globalMatch(text); it.hasNext();) out.insert(it.next().captured());
  return out;
}

struct TsMessage {
  QString context, source, translation, type;
};

std::vector<TsMessage> read_ts(const QString& path) {
  std::vector<TsMessage> out;
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return out;
  QXmlStreamReader xml(&f);
  QString context;
  TsMessage m;
  while (!xml.atEnd()) {
    xml.readNext();
    if (!xml.isStartElement()) continue;
    if (xml.name() == QLatin1String("name")) {
      context = xml.readElementText();
    } else if (xml.name() == QLatin1String("message")) {
      m = TsMessage{context, {}, {}, {}};
    } else if (xml.name() == QLatin1String("source")) {
      m.source = xml.readElementText();
    } else if (xml.name() == QLatin1String("translation")) {
      m.type = xml.attributes().value(QLatin1String("type")).toString();
      m.translation = xml.readElementText();
      out.push_back(m);
    }
  }
  EXPECT_FALSE(xml.hasError()) << path.toStdString() << ": " << xml.errorString().toStdString();
  return out;
}

TEST(TranslationFile, EveryTextOfTheSourcesHasAFinishedEnglishTranslation) {
  // lupdate reads the sources into a copy of the file: a text it has not
  // seen before comes in unfinished, one that left the sources as vanished.
  velmora::testing::TempDir dir;
  const QString copy = QString::fromStdString(dir.file("velmora_en.ts"));
  ASSERT_TRUE(QFile::copy(QStringLiteral(VELMORA_TS_FILE), copy));
  const std::string cmd = std::string("'") + VELMORA_LUPDATE + "' -no-obsolete -locations none " +
                          "-source-language ja -target-language en '" + VELMORA_VIEWER_SOURCE_DIR + "/src' '" +
                          VELMORA_VIEWER_SOURCE_DIR + "/main.cpp' -ts '" + copy.toStdString() + "' > '" +
                          dir.file("lupdate.log") + "' 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << velmora::testing::read_file(dir.file("lupdate.log"));

  const std::vector<TsMessage> messages = read_ts(copy);
  EXPECT_EQ(messages.size(), read_ts(QStringLiteral(VELMORA_TS_FILE)).size())
      << "the sources' texts differ from the translation file's; run scripts/update-translations";
  // The window texts of the sources: more than a hundred.
  EXPECT_GT(messages.size(), 100u);
  for (const TsMessage& m : messages) {
    const std::string where = (m.context + QStringLiteral(": ") + m.source).toStdString();
    EXPECT_TRUE(m.type.isEmpty()) << where << " is " << m.type.toStdString();
    EXPECT_FALSE(m.translation.isEmpty()) << where;
    EXPECT_FALSE(has_japanese(m.translation)) << where << " -> " << m.translation.toStdString();
    EXPECT_EQ(placeholders(m.translation), placeholders(m.source)) << where << " -> " << m.translation.toStdString();
  }
}

TEST(Language, TheCommandLineThenTheSettingsThenTheLocaleChoose) {
  EXPECT_EQ(choose_language(QString(), QString(), QStringLiteral("ja_JP.UTF-8")), Language::kJapanese);
  EXPECT_EQ(choose_language(QString(), QString(), QStringLiteral("ja")), Language::kJapanese);
  EXPECT_EQ(choose_language(QString(), QString(), QStringLiteral("en_GB.UTF-8")), Language::kEnglish);
  EXPECT_EQ(choose_language(QString(), QString(), QStringLiteral("C")), Language::kEnglish);
  EXPECT_EQ(choose_language(QString(), QString(), QString()), Language::kEnglish);
  EXPECT_EQ(choose_language(QString(), QStringLiteral("EN"), QStringLiteral("ja_JP.UTF-8")), Language::kEnglish);
  EXPECT_EQ(choose_language(QStringLiteral("ja"), QStringLiteral("en"), QStringLiteral("C")), Language::kJapanese);
  // A value that names no language is passed over.
  EXPECT_EQ(choose_language(QStringLiteral("fr"), QStringLiteral("japanese"), QStringLiteral("ja_JP")),
            Language::kJapanese);
}

class Languages : public DiskViewerTest {
 protected:
  void SetUp() override {
    DiskViewerTest::SetUp();
    set_drive(1, make_disk("recorder", "clips " + velmora::testing::clips_dir() + "\n" + kDisk));
  }
  void TearDown() override {
    QCoreApplication::removeTranslator(&translator_);
    DiskViewerTest::TearDown();
  }

  void use(Language language) {
    language_ = language;
    QCoreApplication::removeTranslator(&translator_);
    QString error;
    ASSERT_TRUE(install_translation(language, translator_, &error)) << error.toStdString();
  }

  // The scale of the run's screen, for the pictures' names.
  static QString scale_name() {
    const QByteArray f = qgetenv("QT_SCALE_FACTOR");
    return QStringLiteral("@%1x").arg(f.isEmpty() ? QStringLiteral("1") : QString::fromLatin1(f));
  }

  // Checks the texts of a window and its children, and saves its picture.
  void look_at(QWidget* window, const QString& name) {
    ASSERT_NE(window, nullptr) << name.toStdString();
    ASSERT_TRUE(window->isVisible()) << name.toStdString();
    screenshot(window, QStringLiteral("%1-%2%3%4")
                           .arg(name, language_ == Language::kEnglish ? QStringLiteral("en") : QStringLiteral("ja"),
                                scale_name(), picture_suffix_));
    if (language_ != Language::kEnglish) return;
    std::vector<std::pair<QString, QString>> texts;  // (widget, text)
    texts.emplace_back(name + QStringLiteral(" title"), window->windowTitle());
    QList<QWidget*> widgets = window->findChildren<QWidget*>();
    widgets.prepend(window);
    for (QWidget* w : widgets) {
      if (!w->isVisibleTo(window)) continue;
      const QString who = name + QLatin1Char('/') + w->objectName();
      if (auto* l = qobject_cast<QLabel*>(w)) texts.emplace_back(who, l->text());
      if (auto* b = qobject_cast<QAbstractButton*>(w)) {
        texts.emplace_back(who, b->text());
        expect_fits(w, b->text(), w->width() - 6, who);
      }
      if (auto* g = qobject_cast<QGroupBox*>(w)) {
        texts.emplace_back(who, g->title());
        expect_fits(w, g->title(), w->width(), who);
      }
      // The lists the viewer fills itself; the recorders', folders' and
      // drives' names are the user's and the system's.
      if (auto* c = qobject_cast<QComboBox*>(w); c && !qobject_cast<DriveList*>(w))
        for (int i = 0; i < c->count(); ++i) texts.emplace_back(who, c->itemText(i));
      if (auto* list = qobject_cast<QListWidget*>(w);
          list && !qobject_cast<FileList*>(w) && w->objectName() != QLatin1String("List1"))
        for (int i = 0; i < list->count(); ++i) texts.emplace_back(who, list->item(i)->text());
    }
    for (const auto& [who, text] : texts)
      EXPECT_FALSE(has_japanese(text)) << who.toStdString() << ": " << text.toStdString();
  }

  // A one-line control's text is not cut off.
  static void expect_fits(QWidget* w, const QString& text, int room, const QString& who) {
    if (text.isEmpty() || text.contains(QLatin1Char('\n'))) return;
    int extra = 0;
    if (auto* check = qobject_cast<QCheckBox*>(w))
      extra = check->style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, check) + 4;
    EXPECT_LE(w->fontMetrics().horizontalAdvance(text) + extra, room)
        << who.toStdString() << ": \"" << text.toStdString() << "\" in " << w->width() << " pixels";
  }

  // Opens every window in turn as a user does and looks at each.
  void visit_every_window(QSize screen = QSize(1280, 1024)) {
    MainView& v = start_with_windows(screen);
    look_at(&v, QStringLiteral("main"));

    click("Command3");
    TimeSearch* ts = windows_->time_search();
    look_at(ts, QStringLiteral("TimeSearch"));
    choose_date(ts, 2026, 12, 7);
    look_at(ts, QStringLiteral("TimeSearch-marked"));
    // A search before the first recording asks whether to play from it.
    type_time(ts, 8, 0, 0);
    click_in(ts, QStringLiteral("cmdStart"));
    const QString played = QString::fromStdString(home_.file("bmp1.bmp"));
    ASSERT_TRUE(wait_for([&] { return find<PictureBox>("Image1_0")->source() == played; }));
    look_at(&v, QStringLiteral("main-playback"));

    click("Command1");
    look_at(windows_->data_copy(), QStringLiteral("RDataCopy"));
    click_in(windows_->data_copy(), QStringLiteral("cmdBack"));

    click("Command8_0");
    click("Command6");
    PicSave* ps = windows_->picture_save();
    look_at(ps, QStringLiteral("PicSave"));
    in<QLineEdit>(ps, "txtF")->clear();
    click_in(ps, QStringLiteral("Command1"));

    click("Command7");
    ASSERT_TRUE(wait_for([&] { return find<QPushButton>("Command4")->isEnabled(); }));
    click("Command4");
    look_at(windows_->disk_data_search(), QStringLiteral("RDataSearch"));
    click("Command7");
    ASSERT_TRUE(wait_for([&] { return find<QPushButton>("Command5")->isEnabled(); }));
    click("Command5");
    look_at(windows_->saved_picture_search(), QStringLiteral("SDataSearch"));
  }

  QTranslator translator_;
  Language language_ = Language::kJapanese;
  QString picture_suffix_;
};

TEST_F(Languages, EveryWindowInEnglishShowsEnglishTexts) {
  use(Language::kEnglish);
  visit_every_window();
  // What the windows said and asked on the way came in English too.
  EXPECT_FALSE(questions_.empty());
  EXPECT_FALSE(messages_.empty());
  for (const QString& q : questions_) EXPECT_FALSE(has_japanese(q)) << q.toStdString();
  for (const QString& m : message_texts()) EXPECT_FALSE(has_japanese(m)) << m.toStdString();
  // A library's message comes through the program's hook in English too.
  messages_.clear();
  velmora_message_box("error: file open error ", "/no/such/file");
  EXPECT_EQ(message_texts(), (std::vector<QString>{QStringLiteral("The file cannot be opened.")}));
}

TEST_F(Languages, EveryWindowInJapaneseKeepsTheTextsOfTheSources) {
  use(Language::kJapanese);
  visit_every_window();
  EXPECT_EQ(find<QPushButton>("Command3")->text(), QStringLiteral("HDDデータ再生"));
}

// The desktop's font half again as large as the design's: every window grows
// with it, and the English texts still fit their controls.
TEST_F(Languages, ALargerDesktopFontEnlargesEveryWindowSoItsTextsStillFit) {
  struct Restore {
    QFont font = QApplication::font();
    ~Restore() {
      set_layout_scale(1);
      QApplication::setFont(font);
    }
  } restore;
  QFont large = restore.font;
  large.setPointSizeF(kDesignFontPoints * 1.5);
  QApplication::setFont(large);
  const QSize screen(1920, 1200);
  set_layout_scale(layout_scale_for(large, screen, QSize(MainView::kFormWidth, MainView::kFormHeight)));
  ASSERT_DOUBLE_EQ(layout_scale(), 1.5);
  picture_suffix_ = QStringLiteral("-font13.5pt");
  use(Language::kEnglish);
  visit_every_window(screen);
  EXPECT_EQ(view_->size(), QSize(1530, 1100));
}

TEST(PictureCell, APictureOfTheCellsDevicePixelSizeIsShownPixelForPixel) {
  PictureBox cell;
  cell.resize(352, 240);
  cell.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&cell));
  const qreal ratio = cell.devicePixelRatioF();
  const QSize device(qRound(352 * ratio), qRound(240 * ratio));
  // Lines one pixel wide in every direction: any resampling blurs them.
  QImage picture(device, QImage::Format_RGB32);
  for (int y = 0; y < picture.height(); ++y)
    for (int x = 0; x < picture.width(); ++x)
      picture.setPixel(x, y, ((x + y) % 2) ? qRgb(255, 255, 255) : (x % 3 ? qRgb(0, 0, 0) : qRgb(200, 30, 30)));
  cell.set_image(picture);
  const QImage shown = cell.grab().toImage().convertToFormat(QImage::Format_RGB32);
  ASSERT_EQ(shown.size(), device);
  int differing = 0;
  for (int y = 0; y < device.height(); ++y)
    for (int x = 0; x < device.width(); ++x) differing += shown.pixel(x, y) != picture.pixel(x, y);
  EXPECT_EQ(differing, 0) << "at a device pixel ratio of " << ratio;
}

}  // namespace
