#pragma once

#include <QString>
#include <QUrl>

class QOperatingSystemVersion;

// What the About dialog and the Help menu tell about the program, its maker
// and the system it runs on. Kept free of widgets so that every text and URL
// can be checked without opening a window.
namespace AboutInfo {

// The program and its maker as the application object holds them.
struct Identity
{
    QString applicationName;
    QString applicationVersion;
    QString organizationName;
    QString organizationDomain;
};

Identity currentIdentity();

// Where the maker's support questions go.
QString supportAddress();

// "http://" and the maker's domain: the home page as text, for links in rich
// text, and as the URL the Help menu opens.
QString homePageAddress(const QString &organizationDomain);
QUrl homePageUrl(const QString &organizationDomain);

// The About text: four paragraphs with the name and version in bold, the
// maker, a link to the maker's home page and the operating-system line. The
// values are the program's own and go in as they are.
QString informationText(const Identity &identity, const QString &operatingSystemLine);

// The name the About dialog gives the system: a name from a fixed table for
// Windows versions, the system's own product name everywhere else.
QString systemName(const QOperatingSystemVersion &version, const QString &prettyProductName);

// "(32bit)" or "(64bit)": the word size the program was built for.
QString wordSizeSuffix(int wordSize);

QString operatingSystemLine(const QString &systemName, int wordSize);

// The line for the running system and this build.
QString currentOperatingSystemLine();

// The subject of a support e-mail: the (translated) subject text followed by
// the program's name and version, closing the parenthesis the text opens.
QString supportSubject(const QString &subjectText, const Identity &identity);

// A mailto: URL to the support address. Subject and body are encoded as
// values, so that "&", "#", "%" or "=" in a translation cannot cut the
// message short or leak into another field.
QUrl supportMailUrl(const QString &subject, const QString &body);

} // namespace AboutInfo
