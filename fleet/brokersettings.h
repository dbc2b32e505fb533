#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

// How the tools reach an MQTT broker, as their command lines name it:
// mqtt://HOST[:PORT] or mqtts://HOST[:PORT], a file with the user name and
// password, and for mqtts:// the authority that signed the broker's
// certificate. Everything here is read and checked before any connection is
// made, and a password never appears in a message.

struct BrokerSettings
{
    bool tls = false;
    QString host; // a name or a numeric address, IPv6 without its brackets
    quint16 port = 0;
    QString caFile;      // empty: the system's certificate store
    QByteArray username; // empty: none given
    QByteArray password; // may be empty with a user name
    bool hasCredentials = false;

    // "mqtts://broker.example.com:8883", "mqtt://[fd00::5]:1883": for reports.
    QString address() const;
};

// Port numbers when the address names none.
constexpr quint16 DefaultMqttPort = 1883;
constexpr quint16 DefaultMqttsPort = 8883;

// The broker's address, or why it is not one. Only the scheme, the host and
// the port: no user, path or query (credentials come from a file of their
// own, never from a command line that others can read).
std::optional<BrokerSettings> parseBrokerAddress(const QString &text, QString *error);

// Reads the credentials file into `settings`: lines "username=NAME" and
// "password=SECRET", blank lines and "#" comments; a regular file of at most
// a few kilobytes. The error names the file and the line, never its content.
bool readCredentials(const QString &path, BrokerSettings &settings, QString *error);

// The broker settings of a command line, checked as a whole: the address,
// the credentials file, the authority's file (for mqtts:// only). What
// tunaris-bridge and tunaris-send both take.
std::optional<BrokerSettings> brokerSettings(const QString &address, const QString &credentialsFile,
                                             const QString &caFile, QString *error);

// A player's ID or a group's name: it stands in topics, so 1 to 64 letters,
// digits, '-', '_' or '.', case counts ("shop-12", "north.wing").
bool isFleetName(const QString &name);
// Why a name is not one, in words, with `what` ("player", "group").
QString fleetNameError(const QString &what, const QString &name);

// Whether this build can talk to a broker at all; without it the options
// are refused with mqttUnsupported().
bool mqttSupported();
QString mqttUnsupported();
