#include "fleet/brokersettings.h"
#include "link/numericaddress.h"

#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QRegularExpression>

#include <algorithm>

namespace {

// A credentials file holds two short lines; anything larger is not one.
constexpr qint64 maxCredentialsBytes = 4096;
constexpr int maxNameLength = 64;

// Host names as DNS has them, and IPv4 only in its plain dotted form: the
// system's resolver would read "010.0.0.1" as octal, an address nobody meant.
bool isHost(const QString &host)
{
    static const QRegularExpression dotted(QStringLiteral("^[0-9.]+$"));
    if (dotted.match(host).hasMatch())
        return parseIPv4(host).has_value();
    static const QRegularExpression name(QStringLiteral(
        "^[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?(\\.[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?)*$"));
    return host.size() <= 253 && name.match(host).hasMatch();
}

bool isText(const QByteArray &bytes)
{
    if (QString::fromUtf8(bytes).toUtf8() != bytes)
        return false;
    return std::none_of(bytes.begin(), bytes.end(), [](char c) { return uchar(c) < 0x20 || c == 0x7f; });
}

} // namespace

QString BrokerSettings::address() const
{
    const QString hostPart = host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(host) : host;
    return QStringLiteral("%1://%2:%3").arg(tls ? QStringLiteral("mqtts") : QStringLiteral("mqtt"), hostPart).arg(port);
}

std::optional<BrokerSettings> parseBrokerAddress(const QString &text, QString *error)
{
    // A user or password in it is not repeated: others may read the message.
    const QString shown =
        text.contains(QLatin1Char('@')) ? QStringLiteral("the address") : QStringLiteral("'%1'").arg(text);
    const auto refuse = [&](const QString &why) {
        *error = QStringLiteral("%1 is not a broker address (mqtt://HOST[:PORT] or mqtts://HOST[:PORT]): %2")
                     .arg(shown, why);
        return std::nullopt;
    };
    BrokerSettings settings;
    QString rest;
    if (text.startsWith(QLatin1String("mqtt://"))) {
        rest = text.mid(7);
    } else if (text.startsWith(QLatin1String("mqtts://"))) {
        settings.tls = true;
        rest = text.mid(8);
    } else {
        return refuse(QStringLiteral("it begins with neither mqtt:// nor mqtts://"));
    }
    if (rest.contains(QLatin1Char('@')))
        return refuse(QStringLiteral("the user and password go in a file, --mqtt-credentials FILE"));
    if (rest.contains(QLatin1Char('/')) || rest.contains(QLatin1Char('?')) || rest.contains(QLatin1Char('#')))
        return refuse(QStringLiteral("a broker address has no path"));
    QString portText;
    if (rest.startsWith(QLatin1Char('['))) {
        const int close = int(rest.indexOf(QLatin1Char(']')));
        if (close < 0)
            return refuse(QStringLiteral("an IPv6 address needs its closing bracket"));
        settings.host = rest.mid(1, close - 1);
        if (!parseIPv6(settings.host))
            return refuse(QStringLiteral("brackets hold an IPv6 address only"));
        rest = rest.mid(close + 1);
        if (!rest.isEmpty() && !rest.startsWith(QLatin1Char(':')))
            return refuse(QStringLiteral("only :PORT may follow the address"));
        portText = rest.mid(1);
    } else {
        if (rest.count(QLatin1Char(':')) > 1)
            return refuse(QStringLiteral("an IPv6 address goes in brackets, mqtt://[fd00::5]"));
        const int colon = int(rest.indexOf(QLatin1Char(':')));
        settings.host = colon < 0 ? rest : rest.left(colon);
        if (colon >= 0)
            portText = rest.mid(colon + 1);
        if (!isHost(settings.host))
            return refuse(QStringLiteral("'%1' is not a host name or address").arg(settings.host));
    }
    if (rest.contains(QLatin1Char(':'))) {
        const std::optional<int> port = plainDecimal(portText, 65535);
        if (!port || *port == 0)
            return refuse(QStringLiteral("the port is a number from 1 to 65535"));
        settings.port = quint16(*port);
    } else {
        settings.port = settings.tls ? DefaultMqttsPort : DefaultMqttPort;
    }
    return settings;
}

bool readCredentials(const QString &path, BrokerSettings &settings, QString *error)
{
    const QFileInfo info(path);
    if (!info.exists()) {
        *error = QStringLiteral("credentials file %1: no such file").arg(path);
        return false;
    }
    // Not a pipe or a device: reading one could block or never end.
    if (!info.isFile() || info.size() > maxCredentialsBytes) {
        *error = QStringLiteral("credentials file %1: not a regular file of at most %2 bytes")
                     .arg(path)
                     .arg(maxCredentialsBytes);
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("credentials file %1: %2").arg(path, file.errorString());
        return false;
    }
    const QList<QByteArray> lines = file.read(maxCredentialsBytes + 1).split('\n');
    bool userGiven = false;
    bool passwordGiven = false;
    for (int i = 0; i < lines.size(); ++i) {
        QByteArray line = lines.at(i);
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.trimmed().isEmpty() || line.trimmed().startsWith('#'))
            continue;
        const int equals = int(line.indexOf('='));
        const QByteArray key = line.left(equals).trimmed();
        const QByteArray value = line.mid(equals + 1);
        bool &given = key == "username" ? userGiven : passwordGiven;
        if (equals < 0 || (key != "username" && key != "password") || given || !isText(value)) {
            *error = QStringLiteral("credentials file %1, line %2: not 'username=NAME' or 'password=SECRET' "
                                    "(each once, plain text)")
                         .arg(path)
                         .arg(i + 1);
            return false;
        }
        given = true;
        (key == "username" ? settings.username : settings.password) = value;
    }
    if (!userGiven || settings.username.isEmpty()) {
        *error = QStringLiteral("credentials file %1: no 'username=NAME' line").arg(path);
        return false;
    }
    settings.hasCredentials = true;
    return true;
}

std::optional<BrokerSettings> brokerSettings(const QString &address, const QString &credentialsFile,
                                             const QString &caFile, QString *error)
{
    std::optional<BrokerSettings> settings = parseBrokerAddress(address, error);
    if (!settings)
        return std::nullopt;
    if (!caFile.isEmpty()) {
        if (!settings->tls) {
            *error = QStringLiteral("--mqtt-ca is for an mqtts:// broker; %1 is not encrypted").arg(address);
            return std::nullopt;
        }
        const QFileInfo info(caFile);
        if (!info.isFile() || !info.isReadable()) {
            *error = QStringLiteral("certificate authority file %1: not a readable file").arg(caFile);
            return std::nullopt;
        }
        settings->caFile = caFile;
    }
    if (!credentialsFile.isEmpty() && !readCredentials(credentialsFile, *settings, error))
        return std::nullopt;
    return settings;
}

bool isFleetName(const QString &name)
{
    static const QRegularExpression allowed(QStringLiteral("^[A-Za-z0-9._-]+$"));
    return name.size() <= maxNameLength && allowed.match(name).hasMatch();
}

QString fleetNameError(const QString &what, const QString &name)
{
    return QStringLiteral("'%1' is not a %2 name: 1 to %3 letters, digits, '-', '_' or '.'")
        .arg(name, what)
        .arg(maxNameLength);
}

bool mqttSupported()
{
#if defined(TUNARIS_MQTT)
    return true;
#else
    return false;
#endif
}

QString mqttUnsupported()
{
    return QStringLiteral("this build has no MQTT support (it was made without libmosquitto)");
}
