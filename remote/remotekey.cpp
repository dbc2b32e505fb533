#include "remote/remotekey.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkInterface>
#include <QRandomGenerator>
#include <QStandardPaths>

#include <qrencode.h>

#include <algorithm>
#include <memory>

#if defined(Q_OS_UNIX)
#include <unistd.h>
#endif
#if defined(Q_OS_WIN)
#include "remote/windowskeyfile.h"
#endif

namespace {

constexpr int keyRandomBytes = 16; // 128 bits, 22 characters in the link
constexpr int maxKeyFileBytes = 128;
// Modules of light border the code needs around it to be found.
constexpr int quietZone = 4;

bool isKeyCharacter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

// Letters, digits, - and _, so that it goes into a link unchanged; at least
// as long as the keys made here, which an operator may replace with their own.
bool isUsableKey(const QByteArray &key)
{
    return key.size() >= 22 && key.size() <= 64 && std::all_of(key.begin(), key.end(), isKeyCharacter);
}

QByteArray makeKey()
{
    quint32 words[keyRandomBytes / sizeof(quint32)];
    QRandomGenerator::system()->fillRange(words);
    return QByteArray(reinterpret_cast<const char *>(words), sizeof words)
        .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

QString removeAdvice(const QString &path)
{
    return QStringLiteral("remove %1 and a new key is made at the next start").arg(path);
}

QByteArray makeKeyFile(const QString &path, QString *error)
{
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder)) {
        *error = QStringLiteral("cannot make the folder %1 for the web remote's key").arg(folder);
        return QByteArray();
    }
    // Made private, not made and then narrowed: nobody else may open it
    // even for an instant.
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly, QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        *error = QStringLiteral("cannot make the web remote's key %1: %2").arg(path, file.errorString());
        return QByteArray();
    }
#if defined(Q_OS_WIN)
    // Windows goes by the access list, which the folder's would extend.
    if (const QString why = keepKeyFilePrivate(path); !why.isEmpty()) {
        file.remove();
        *error = QStringLiteral("cannot make the web remote's key %1 private: %2").arg(path, why);
        return QByteArray();
    }
#endif
    const QByteArray key = makeKey();
    const QByteArray content = key + '\n';
    const bool written = file.write(content) == content.size() && file.flush();
    file.close();
    if (!written || file.error() != QFileDevice::NoError) {
        *error = QStringLiteral("cannot write the web remote's key %1: %2").arg(path, file.errorString());
        file.remove(); // a file without its key would stop every later start
        return QByteArray();
    }
    return key;
}

QString linkTo(const QHostAddress &host, quint16 port, const QByteArray &key)
{
    const QString name = host.protocol() == QAbstractSocket::IPv6Protocol ? QStringLiteral("[%1]").arg(host.toString())
                                                                          : host.toString();
    return QStringLiteral("http://%1:%2/?key=%3").arg(name).arg(port).arg(QString::fromLatin1(key));
}

} // namespace

namespace {

QString keyPath(const char *name)
{
    const QString state = QFile::decodeName(qgetenv("STATE_DIRECTORY")).section(QLatin1Char(':'), 0, 0);
    if (!state.isEmpty())
        return state + QLatin1Char('/') + QLatin1String(name);
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QLatin1String("/tunaris-bridge/")
           + QLatin1String(name);
}

} // namespace

QString remoteKeyPath()
{
    return keyPath("web-key");
}

QString officeKeyPath()
{
    return keyPath("office-key");
}

QByteArray loadOrMakeRemoteKey(const QString &path, QString *error)
{
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return makeKeyFile(path, error);
    // A link could lead to a file that others read.
    if (info.isSymLink() || !info.isFile()) {
        *error = QStringLiteral("%1 is not a regular file: %2").arg(path, removeAdvice(path));
        return QByteArray();
    }
#if defined(Q_OS_UNIX)
    if (info.ownerId() != ::geteuid()) {
        *error =
            QStringLiteral("%1 belongs to user %2, not to this one: %3").arg(path, info.owner(), removeAdvice(path));
        return QByteArray();
    }
#endif
#if defined(Q_OS_WIN)
    if (const QString exposure = keyFileExposure(path); !exposure.isEmpty()) {
        *error = QStringLiteral("%1 is not private to this account: %2; %3").arg(path, exposure, removeAdvice(path));
        return QByteArray();
    }
#else
    constexpr QFileDevice::Permissions others =
        QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ReadOther | QFileDevice::WriteOther;
    if (info.permissions() & others) {
        *error = QStringLiteral("%1 can be read or changed by other users: make it private (chmod 600 %1) "
                                "or %2")
                     .arg(path, removeAdvice(path));
        return QByteArray();
    }
#endif
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the web remote's key %1: %2").arg(path, file.errorString());
        return QByteArray();
    }
    const QByteArray key = file.read(maxKeyFileBytes).trimmed();
    if (!isUsableKey(key)) {
        *error = QStringLiteral("%1 holds no key (22 to 64 letters, digits, - or _): %2").arg(path, removeAdvice(path));
        return QByteArray();
    }
    return key;
}

bool isRemoteKey(const QByteArray &given, const QByteArray &key)
{
    if (key.isEmpty() || given.size() != key.size())
        return false;
    char difference = 0;
    for (qsizetype i = 0; i < key.size(); ++i)
        difference |= char(given.at(i) ^ key.at(i));
    return difference == 0;
}

QStringList remoteLinks(const QHostAddress &address, quint16 port, const QList<CommandListener::Network> &allowed,
                        const QByteArray &key)
{
    const bool dualStack = CommandListener::isDualStack(address);
    if (!dualStack && address != QHostAddress::AnyIPv4 && address != QHostAddress::AnyIPv6)
        return {linkTo(address, port, key)};
    if (allowed.isEmpty()) // the loopback addresses only
        return {linkTo(address.protocol() == QAbstractSocket::IPv6Protocol && !dualStack ? QHostAddress::LocalHostIPv6
                                                                                         : QHostAddress::LocalHost,
                       port, key)};
    QList<QHostAddress> own;
    for (const QHostAddress &candidate : QNetworkInterface::allAddresses()) {
        const bool ipv6 = candidate.protocol() == QAbstractSocket::IPv6Protocol;
        const bool served = dualStack || ipv6 == (address.protocol() == QAbstractSocket::IPv6Protocol);
        // A link-local address needs a zone that a browser's address bar does not take.
        if (served && !candidate.isLoopback() && !candidate.isLinkLocal()) {
            QHostAddress host = candidate;
            host.setScopeId(QString());
            own << host;
        }
    }
    QList<QHostAddress> inServedNetworks;
    std::copy_if(own.begin(), own.end(), std::back_inserter(inServedNetworks),
                 [&](const QHostAddress &candidate) { return CommandListener::admits(allowed, candidate); });
    QList<QHostAddress> &chosen = inServedNetworks.isEmpty() ? own : inServedNetworks;
    std::stable_sort(chosen.begin(), chosen.end(), [](const QHostAddress &a, const QHostAddress &b) {
        return a.protocol() == QAbstractSocket::IPv4Protocol && b.protocol() != QAbstractSocket::IPv4Protocol;
    });
    QStringList links;
    for (const QHostAddress &host : chosen)
        links << linkTo(host, port, key);
    return links;
}

QString terminalQrCode(const QByteArray &text)
{
    const std::unique_ptr<QRcode, void (*)(QRcode *)> code(
        QRcode_encodeString(text.constData(), 0, QR_ECLEVEL_M, QR_MODE_8, 1), QRcode_free);
    if (!code)
        return QString();
    const int width = code->width;
    const auto dark = [&](int x, int y) {
        return x >= 0 && y >= 0 && x < width && y < width && (code->data[y * width + x] & 1);
    };
    // Black on bright white, set here: a code drawn in the terminal's own
    // colours comes out inverted on a dark one, which some readers miss.
    static const QString blackOnWhite = QStringLiteral("\x1b[30;107m");
    static const QString plain = QStringLiteral("\x1b[0m");
    QString lines;
    for (int y = -quietZone; y < width + quietZone; y += 2) {
        lines += blackOnWhite;
        for (int x = -quietZone; x < width + quietZone; ++x) {
            const bool top = dark(x, y);
            const bool bottom = dark(x, y + 1);
            lines += top && bottom ? QChar(0x2588) : top ? QChar(0x2580) : bottom ? QChar(0x2584) : QChar(' ');
        }
        lines += plain + QLatin1Char('\n');
    }
    return lines;
}
