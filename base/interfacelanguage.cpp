#include "base/interfacelanguage.h"

#include <QCoreApplication>
#include <QDir>
#include <QLocale>
#include <QTranslator>

namespace {

const QLatin1String defaultLanguageName("(default)");
const QLatin1String translationPrefix("LanguageData_");

QLocale localeOf(Language language)
{
    switch (language) {
    case Language::English:
        return QLocale(QLocale::English);
    case Language::French:
        return QLocale(QLocale::French);
    case Language::Default:
        break;
    }
    return QLocale::system();
}

// Where an installed program keeps its translations. The build defines the
// path relative to the executable from its install layout, so an installed
// tree can be moved as a whole.
QString installedTranslationsDirectory()
{
    return QDir(QCoreApplication::applicationDirPath())
        .absoluteFilePath(QStringLiteral(TUNARIS_TRANSLATIONS_FROM_BINDIR));
}

} // namespace

QString storedLanguageName(Language language)
{
    if (language == Language::Default)
        return defaultLanguageName;
    return QLocale::languageToString(localeOf(language).language());
}

Language languageFromStoredName(const QString &name)
{
    for (const Language language : {Language::English, Language::French}) {
        if (name == storedLanguageName(language))
            return language;
    }
    return Language::Default;
}

QString translationBaseName(Language language)
{
    // "fr_FR" gives "fr"; a name without a country ("C") stays whole.
    return translationPrefix + localeOf(language).name().section(QLatin1Char('_'), 0, 0);
}

bool loadTranslation(QTranslator &translator, const QString &baseName)
{
    // An empty directory makes the toolkit resolve the name against the
    // working directory, where an operator may drop a translation of their
    // own. The other places keep the choice working wherever the program was
    // started from.
    const QStringList directories = {QString(), QCoreApplication::applicationDirPath(),
                                     installedTranslationsDirectory()};
    for (const QString &directory : directories) {
        if (translator.load(baseName, directory))
            return true;
    }
    return false;
}
