#include "base/aboutinfo.h"

#include <QCoreApplication>
#include <QOperatingSystemVersion>
#include <QSysInfo>
#include <QUrlQuery>

#include <algorithm>

namespace AboutInfo {

namespace {

// The texts below are shown by the About dialog and translated under its
// context, "AboutWindows".
struct WindowsName
{
    int majorVersion;
    int minorVersion;
    const char *name;
};

const WindowsName windowsNames[] = {
    {4, 0, QT_TRANSLATE_NOOP("AboutWindows", "Microsoft Windows NT")},
    {5, 0, QT_TRANSLATE_NOOP("AboutWindows", "Microsoft Windows 2000")},
    {5, 1, QT_TRANSLATE_NOOP("AboutWindows", "Microsoft Windows XP")},
    {5, 2, QT_TRANSLATE_NOOP("AboutWindows", "Microsoft Windows 2003")},
    {6, 0, QT_TRANSLATE_NOOP("AboutWindows", "Microsoft Windows Vista")},
    {6, 1, QT_TRANSLATE_NOOP("AboutWindows", "Microsoft Windows 7")},
};

QString windowsName(const QOperatingSystemVersion &version)
{
    // A version given without its minor number means x.0.
    const int minorVersion = std::max(version.minorVersion(), 0);
    for (const WindowsName &entry : windowsNames) {
        if (entry.majorVersion == version.majorVersion() && entry.minorVersion == minorVersion)
            return QCoreApplication::translate("AboutWindows", entry.name);
    }
    return QCoreApplication::translate("AboutWindows", "Microsoft OS");
}

// Percent-encodes everything but the unreserved characters, so the text
// reaches the mail program exactly as it was written.
QString encodedValue(const QString &text)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(text));
}

} // namespace

Identity currentIdentity()
{
    return {QCoreApplication::applicationName(), QCoreApplication::applicationVersion(),
            QCoreApplication::organizationName(), QCoreApplication::organizationDomain()};
}

QString supportAddress()
{
    return QStringLiteral("support@tunaris.example.com");
}

QString homePageAddress(const QString &organizationDomain)
{
    return QLatin1String("http://") + organizationDomain;
}

QUrl homePageUrl(const QString &organizationDomain)
{
    return QUrl(homePageAddress(organizationDomain));
}

QString informationText(const Identity &identity, const QString &operatingSystemLine)
{
    return QLatin1String("<p><b>") + identity.applicationName + QLatin1Char(' ') + identity.applicationVersion
           + QLatin1String("</b></p><p>") + identity.organizationName + QLatin1String("</p><p><a href=\"")
           + homePageAddress(identity.organizationDomain) + QLatin1String("\">") + identity.organizationDomain
           + QLatin1String("</a></p><p>") + operatingSystemLine + QLatin1String("</p>");
}

QString systemName(const QOperatingSystemVersion &version, const QString &prettyProductName)
{
    if (version.type() == QOperatingSystemVersion::Windows)
        return windowsName(version);
    return prettyProductName;
}

QString wordSizeSuffix(int wordSize)
{
    switch (wordSize) {
    case 32:
        return QCoreApplication::translate("AboutWindows", "(32bit)");
    case 64:
        return QCoreApplication::translate("AboutWindows", "(64bit)");
    default:
        return QStringLiteral("(%1bit)").arg(wordSize);
    }
}

QString operatingSystemLine(const QString &systemName, int wordSize)
{
    return systemName + QLatin1Char(' ') + wordSizeSuffix(wordSize);
}

QString currentOperatingSystemLine()
{
    const QString name = systemName(QOperatingSystemVersion::current(), QSysInfo::prettyProductName());
    return operatingSystemLine(name, QSysInfo::WordSize);
}

QString supportSubject(const QString &subjectText, const Identity &identity)
{
    return subjectText + QLatin1Char(' ') + identity.applicationName + QLatin1String(" - ")
           + identity.applicationVersion + QLatin1Char(')');
}

QUrl supportMailUrl(const QString &subject, const QString &body)
{
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("subject"), encodedValue(subject));
    query.addQueryItem(QStringLiteral("body"), encodedValue(body));

    QUrl url;
    url.setScheme(QStringLiteral("mailto"));
    url.setPath(supportAddress());
    url.setQuery(query);
    return url;
}

} // namespace AboutInfo
