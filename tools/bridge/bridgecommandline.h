#pragma once

#include "fleet/brokersettings.h"
#include "link/commandlistener.h"
#include "tools/common/serialline.h"

#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>

// What a tunaris-bridge command line asks for. Every argument is checked
// before the port is opened or anything listens, so a typo, a loose address
// or an option given twice starts nothing.
struct BridgeRequest
{
    enum class Action { Serve, ShowHelp, ShowVersion };

    Action action = Action::Serve;
    QString port;
    qint32 baudRate = DefaultBaudRate;
    bool listens = false;       // --listen: command lines over TCP or UDP
    QHostAddress listenAddress; // [::] takes IPv4 clients too
    quint16 listenPort = 0;
    bool udp = false;
    bool web = false; // --web: the venue's remote, a page for phones
    QHostAddress webAddress;
    quint16 webPort = 0;
    QList<CommandListener::Network> allowed; // none: the loopback addresses
    // --mqtt: the broker the bridge joins, as which player, in which groups.
    std::optional<BrokerSettings> broker;
    QString player;
    QStringList groups;
    bool discovery = false; // --discovery: the player announced to building automation
    // --office: the office's page over the broker's players; no port, no player.
    bool office = false;
    QHostAddress officeAddress;
    quint16 officePort = 0;
    QString error; // why the arguments are not usable; empty when they are
};

// `arguments` without the program name.
BridgeRequest parseBridgeArguments(const QStringList &arguments);

// The --help and --version texts.
QString bridgeUsage();
QString bridgeVersion();

// What the bridge says at start, listening on `port` (and serving the web
// remote or the office's page on `webPort`): where and whom it serves,
// "serving 192.168.1.0/24, fd00::/8" or the loopback addresses only; each
// allowed network a listening address cannot reach gets a line of its own.
QStringList startReport(const BridgeRequest &request, quint16 port, quint16 webPort = 0);

// "0.0.0.0", "[::]": an address as it stands before ":NUMBER".
QString addressText(const QHostAddress &address);
