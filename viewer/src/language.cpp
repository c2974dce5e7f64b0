#include "language.h"

#include <QCoreApplication>
#include <QDir>
#include <QTranslator>
#include <cstdlib>

#ifndef VELMORA_TRANSLATIONS_FROM_BIN
#define VELMORA_TRANSLATIONS_FROM_BIN "../share/velmora/translations"
#endif

namespace velmora::viewer {

std::optional<Language> language_named(const QString& name) {
  const QString n = name.trimmed().toLower();
  if (n == QLatin1String("ja")) return Language::kJapanese;
  if (n == QLatin1String("en")) return Language::kEnglish;
  return std::nullopt;
}

Language language_of_locale(const QString& locale) {
  return locale.startsWith(QLatin1String("ja"), Qt::CaseInsensitive) ? Language::kJapanese : Language::kEnglish;
}

QString message_locale() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value && *value) return QString::fromLocal8Bit(value);
  }
  return QString();
}

Language choose_language(const QString& option, const QString& setting, const QString& locale) {
  if (const auto chosen = language_named(option)) return *chosen;
  if (const auto chosen = language_named(setting)) return *chosen;
  return language_of_locale(locale);
}

QString translations_folder() {
  return QDir::cleanPath(
      QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral(VELMORA_TRANSLATIONS_FROM_BIN)));
}

bool install_translation(Language language, QTranslator& translator, QString* error) {
  if (language == Language::kJapanese) return true;
  const QString folder = translations_folder();
  if (!translator.load(QStringLiteral("velmora_en"), folder)) {
    if (error) *error = QStringLiteral("no English translation in %1; the texts stay Japanese").arg(folder);
    return false;
  }
  QCoreApplication::installTranslator(&translator);
  return true;
}

}  // namespace velmora::viewer
