#pragma once

#include <QString>

class QTranslator;

// The interface languages the Languages menu offers. Default follows the
// language of the system locale.
enum class Language { Default, English, French };

// The language as the configuration file stores it: the toolkit's name of the
// language ("English", "French"), or "(default)".
QString storedLanguageName(Language language);
// The stored name back; anything but an exact name means Default.
Language languageFromStoredName(const QString &name);

// "LanguageData_" and the two-letter code of the language, or of the system
// language for Default: "LanguageData_fr".
QString translationBaseName(Language language);

// Loads the translation file for the base name into the translator. Looks in
// the working directory first, then beside the executable, then in the
// folder an installed program keeps its translations in. In each place the
// toolkit's own candidates are tried: "LanguageData_fr.qm", "LanguageData_fr",
// "LanguageData.qm", "LanguageData". Returns false, with the translator
// emptied, when no place holds one.
bool loadTranslation(QTranslator &translator, const QString &baseName);
