// The language of the viewer's texts. The texts are written in Japanese in
// the sources; an English translation ("velmora_en.qm") ships beside the
// program. The language follows the user's locale (ja* is Japanese, every
// other locale English); "--lang" or the "Language" value of "sn.ini"
// overrides it.
#pragma once
#include <QString>
#include <optional>

class QTranslator;

namespace velmora::viewer {

enum class Language { kJapanese, kEnglish };

// "ja" or "en", in any case; anything else has no language.
std::optional<Language> language_named(const QString& name);

// The language of a locale name as the environment gives it ("ja_JP.UTF-8",
// "en_GB", "C"): Japanese for ja*, English for the rest.
Language language_of_locale(const QString& locale);

// The locale the messages of a program follow: the first of LC_ALL,
// LC_MESSAGES and LANG that is set and not empty.
QString message_locale();

// The language to show: the command line's choice, else the settings
// file's, else the locale's. A choice that names no language is passed over.
Language choose_language(const QString& option, const QString& setting, const QString& locale);

// The folder of the translation files: "share/velmora/translations" beside
// the program's "bin" folder, as installed and as built.
QString translations_folder();

// Loads the translation into translator and installs it in the application.
// Japanese needs none. False, with a reason, when the file cannot be loaded;
// the texts then stay Japanese.
bool install_translation(Language language, QTranslator& translator, QString* error);

}  // namespace velmora::viewer
