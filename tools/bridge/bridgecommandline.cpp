#include "tools/bridge/bridgecommandline.h"
#include "base/programhelp.h"
#include "link/linesession.h"
#include "link/portnames.h"
#include "tools/common/toolplumbing.h"

#include <QCommandLineParser>
#include <QTcpSocket>

#include <algorithm>

namespace {

const QString portName = QStringLiteral("port");
const QString listenName = QStringLiteral("listen");
const QString udpName = QStringLiteral("udp");
const QString allowName = QStringLiteral("allow");
const QString webName = QStringLiteral("web");
const QString mqttName = QStringLiteral("mqtt");
const QString playerName = QStringLiteral("player");
const QString groupName = QStringLiteral("group");
const QString credentialsName = QStringLiteral("mqtt-credentials");
const QString caName = QStringLiteral("mqtt-ca");
const QString discoveryName = QStringLiteral("discovery");
const QString officeName = QStringLiteral("office");

// The options that name one thing each; --allow and --group may be given again.
const QStringList singleOptions = {portName,   QStringLiteral("baud"), listenName, udpName,       webName,   mqttName,
                                   playerName, credentialsName,        caName,     discoveryName, officeName};
// What a player's bridge takes and the office's, which holds no port, does not.
const QStringList playerOptions = {portName,  QStringLiteral("baud"), listenName, udpName, webName, playerName,
                                   groupName, discoveryName};

struct Options
{
    QCommandLineParser parser;
    QList<QCommandLineOption> options{
        {portName,
         QStringLiteral("the player's serial port (/dev/ttyUSB0, COM3) or a serial device server, tcp://HOST:NUMBER"),
         QStringLiteral("PORT")},
        baudRateOption(),
        {listenName,
         QStringLiteral("listen on this address and port number, 0.0.0.0:4001, or [::]:4001 for IPv6 and IPv4 "
                        "clients; off: none. Nothing listens without it or --web"),
         QStringLiteral("ADDRESS:NUMBER")},
        {udpName, QStringLiteral("take datagrams instead of TCP lines")},
        {webName,
         QStringLiteral("serve the venue's remote, a page for phones, on this address and port number, "
                        "0.0.0.0:8080; off: none. Its link, with the key that lets a phone in, is shown at "
                        "start on a terminal"),
         QStringLiteral("ADDRESS:NUMBER")},
        {allowName, QStringLiteral("serve clients from this network, 192.168.1.0/24 or fd00::/8; may be given again"),
         QStringLiteral("NETWORK")},
        {mqttName,
         QStringLiteral("join this MQTT broker: mqtt://HOST[:PORT] or mqtts://HOST[:PORT] (TLS, checked against "
                        "the system's authorities or --mqtt-ca)"),
         QStringLiteral("URL")},
        {playerName, QStringLiteral("the player's ID on the broker, shop-12: letters, digits, '-', '_', '.'"),
         QStringLiteral("ID")},
        {groupName, QStringLiteral("also take the commands of this group; may be given again"), QStringLiteral("NAME")},
        {credentialsName,
         QStringLiteral("read the broker's user name and password from this file: lines username=NAME and "
                        "password=SECRET"),
         QStringLiteral("FILE")},
        {caName, QStringLiteral("trust only this certificate authority (PEM) for an mqtts:// broker"),
         QStringLiteral("FILE")},
        {discoveryName,
         QStringLiteral("announce the player to building automation on the broker, in Home Assistant's MQTT "
                        "discovery convention; without it, an announcement made before is removed")},
        {officeName,
         QStringLiteral("serve the office's page, every player the broker knows and commands to them, on this "
                        "address and port number, 0.0.0.0:8090, with --mqtt and without --port. Its link, with "
                        "its own key, is shown at start on a terminal"),
         QStringLiteral("ADDRESS:NUMBER")},
    };

    Options()
    {
        parser.addOptions(options);
        parser.addOptions(
            {{{QStringLiteral("h"), QStringLiteral("help")}, QString()}, {QStringLiteral("version"), QString()}});
    }

    ProgramHelp help() const
    {
        ProgramHelp help;
        help.program = QStringLiteral("tunaris-bridge");
        help.usages = QStringList{QStringLiteral("--port PORT --listen ADDRESS:NUMBER [--udp] [--allow NETWORK]..."),
                                  QStringLiteral("--port PORT --web ADDRESS:NUMBER [--allow NETWORK]..."),
                                  QStringLiteral("--port PORT --mqtt URL --player ID [--group NAME]... [--discovery]"),
                                  QStringLiteral("--mqtt URL --office ADDRESS:NUMBER [--allow NETWORK]...")};
        help.summary =
            QStringLiteral(
                "Takes player commands from the network, in tunaris-send's words, and delivers them through the "
                "port's owner: the console when it holds the port, else the bridge, which then holds the port. "
                "TCP: one command per line (LF, CR LF, CR or NUL ends it), answered \"ok <bytes>\" once every "
                "byte of its frame was handed to the system for the port, \"error <reason>\" when it was not "
                "and will not be sent, or \"unknown <reason>\" when that cannot be told (do not send it again "
                "unasked). A line must end within %1 s of its first byte. UDP (--udp): one command per "
                "datagram, not answered. --web serves the venue's remote, the player's controls as a page for "
                "phones. Only the loopback addresses are served unless --allow admits networks. Addresses "
                "are numeric only, IPv4 as four decimal numbers without leading zeros. With --mqtt it joins "
                "an MQTT broker as the player --player names and takes the commands of "
                "tunaris/players/ID/command and of each --group's tunaris/groups/NAME/command, with or "
                "without --listen; the README's fleet section has every topic. With --office instead of --port it "
                "holds no port and serves the office's page: every player the broker knows, live, and commands "
                "to a player or a group.")
                .arg(LineSession::LineDeadlineMs / 1000);
        help.options = helpOptions(options);
        help.sections = {
            {QStringLiteral("Examples"),
             QStringLiteral("  tunaris-bridge --port /dev/ttyUSB0 --listen 0.0.0.0:4001 --allow 192.168.1.0/24\n"
                            "  tunaris-bridge --port /dev/ttyUSB0 --web 0.0.0.0:8080 --allow 192.168.1.0/24\n"
                            "  tunaris-bridge --mqtt mqtt://broker.example.com --office 0.0.0.0:8090 --allow "
                            "10.1.0.0/16\n")},
            {QStringLiteral("Exit status"),
             QStringLiteral("  0  stopped when asked to (Ctrl+C, SIGTERM)\n"
                            "  1  the port, an address, the web key or the broker could not be used\n"
                            "  2  the arguments are wrong; nothing was started\n")},
        };
        return help;
    }
};

bool takesIPv4Clients(const QHostAddress &listen)
{
    return listen.protocol() == QAbstractSocket::IPv4Protocol || CommandListener::isDualStack(listen);
}

bool takesIPv6Clients(const QHostAddress &listen)
{
    return listen.protocol() == QAbstractSocket::IPv6Protocol;
}

bool canReach(const QHostAddress &listen, const CommandListener::Network &network)
{
    return network.first.protocol() == QAbstractSocket::IPv4Protocol ? takesIPv4Clients(listen)
                                                                     : takesIPv6Clients(listen);
}

QString notAnAddress(const QString &text, int example)
{
    return QStringLiteral("'%1' is not an address and port number to listen on (0.0.0.0:%2, [::]:%2; "
                          "numbers only, IPv4 as four decimal numbers without leading zeros)")
        .arg(text)
        .arg(example);
}

QList<QHostAddress> listeningAddresses(const BridgeRequest &request)
{
    QList<QHostAddress> addresses;
    if (request.listens)
        addresses << request.listenAddress;
    if (request.web)
        addresses << request.webAddress;
    if (request.office)
        addresses << request.officeAddress;
    return addresses;
}

// The broker's options: the first reason they are not usable, or none.
QString checkFleet(const QCommandLineParser &parser, BridgeRequest &request)
{
    if (!mqttSupported())
        return mqttUnsupported();
    if (!parser.isSet(playerName))
        return QStringLiteral("no player ID given (--player ID): the broker knows the player by it");
    request.player = parser.value(playerName);
    if (!isFleetName(request.player))
        return fleetNameError(QStringLiteral("player"), request.player);
    for (const QString &group : parser.values(groupName)) {
        if (!isFleetName(group))
            return fleetNameError(QStringLiteral("group"), group);
        request.groups << group;
    }
    request.groups.removeDuplicates();
    QString error;
    request.broker =
        brokerSettings(parser.value(mqttName), parser.value(credentialsName), parser.value(caName), &error);
    return error;
}

QString checkAllowed(const QCommandLineParser &parser, BridgeRequest &request);

// The office's bridge: a broker, an address for its page, whom it serves;
// nothing of a player's.
QString checkOffice(const QCommandLineParser &parser, BridgeRequest &request)
{
    for (const QString &name : playerOptions) {
        // "off", as a service's settings say when they name no address.
        const bool off = (name == listenName || name == webName) && parser.value(name) == QLatin1String("off");
        if (parser.isSet(name) && !off)
            return QStringLiteral("--%1 is for a player's bridge: --office holds no port and serves no player")
                .arg(name);
    }
    if (!parser.isSet(mqttName))
        return QStringLiteral("--office needs --mqtt URL: the office sees the players through their broker");
    if (!mqttSupported())
        return mqttUnsupported();
#if !defined(TUNARIS_OFFICE)
    return QStringLiteral("this build has no office's page (--office): it was made without Qt HttpServer, "
                          "Qt WebSockets, libqrencode or libmosquitto");
#endif
    const auto office = CommandListener::parseListenAddress(parser.value(officeName));
    if (!office)
        return notAnAddress(parser.value(officeName), 8090);
    request.officeAddress = office->first;
    request.officePort = office->second;
    QString error;
    request.broker =
        brokerSettings(parser.value(mqttName), parser.value(credentialsName), parser.value(caName), &error);
    if (!error.isEmpty())
        return error;
    return checkAllowed(parser, request);
}

// The first reason the arguments are not usable, or none.
QString check(const QCommandLineParser &parser, BridgeRequest &request)
{
    if (!parser.positionalArguments().isEmpty())
        return QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first());
    if (const QString repeated = repeatedOption(parser, singleOptions); !repeated.isEmpty())
        return repeated;
    request.office = parser.isSet(officeName) && parser.value(officeName) != QLatin1String("off");
    if (request.office)
        return checkOffice(parser, request);
    request.port = parser.value(portName);
    if (!parser.isSet(portName))
        return QStringLiteral("no port given (--port PORT)");
    if (request.port.isEmpty())
        return QStringLiteral("--port needs a value");
    if (isDeviceServerName(request.port) && !parseDeviceServerName(request.port))
        return QStringLiteral("'%1' is not a device server address (tcp://HOST:NUMBER)").arg(request.port);
    QString error;
    const std::optional<qint32> baudRate = baudRateGiven(parser, &error);
    if (!baudRate)
        return error;
    request.baudRate = *baudRate;
    const bool joins = parser.isSet(mqttName);
    // "off", as the service's settings say when they name no address.
    request.listens = parser.isSet(listenName) && parser.value(listenName) != QLatin1String("off");
    request.web = parser.isSet(webName) && parser.value(webName) != QLatin1String("off");
    for (const QString &name : {playerName, groupName, credentialsName, caName, discoveryName}) {
        if (!joins && parser.isSet(name))
            return QStringLiteral("--%1 is for a broker: it needs --mqtt URL").arg(name);
    }
    if (joins) {
        error = checkFleet(parser, request);
        if (!error.isEmpty())
            return error;
        request.discovery = parser.isSet(discoveryName);
    }
    if (!request.listens && !request.web && parser.isSet(allowName))
        return QStringLiteral("--allow is for a listening bridge: it needs --listen or --web ADDRESS:NUMBER");
    if (request.listens) {
        const auto listen = CommandListener::parseListenAddress(parser.value(listenName));
        if (!listen)
            return notAnAddress(parser.value(listenName), 4001);
        request.listenAddress = listen->first;
        request.listenPort = listen->second;
    }
    request.udp = parser.isSet(udpName);
    if (request.udp && !request.listens)
        return QStringLiteral("--udp needs --listen ADDRESS:NUMBER");
    if (request.web) {
#if !defined(TUNARIS_WEB_REMOTE)
        return QStringLiteral("this build has no web remote (--web): it was made without Qt HttpServer, "
                              "Qt WebSockets or libqrencode");
#endif
        const auto web = CommandListener::parseListenAddress(parser.value(webName));
        if (!web)
            return notAnAddress(parser.value(webName), 8080);
        request.webAddress = web->first;
        request.webPort = web->second;
    }
    return checkAllowed(parser, request);
}

// The networks allowed, and that each listening address can serve one.
QString checkAllowed(const QCommandLineParser &parser, BridgeRequest &request)
{
    for (const QString &text : parser.values(allowName)) {
        const auto network = CommandListener::parseNetwork(text);
        if (!network) {
            return QStringLiteral("'%1' is not a network (192.168.1.0/24, 10.0.0.7, fd00::/8; numbers only, IPv4 "
                                  "as four decimal numbers without leading zeros)")
                .arg(text);
        }
        request.allowed << *network;
    }
    for (const QHostAddress &address : listeningAddresses(request)) {
        if (!request.allowed.isEmpty()
            && std::none_of(request.allowed.begin(), request.allowed.end(),
                            [&](const CommandListener::Network &network) { return canReach(address, network); })) {
            return QStringLiteral("none of the networks allowed can reach %1: listen on [::] to serve IPv4 and IPv6")
                .arg(addressText(address));
        }
    }
    return QString();
}

} // namespace

BridgeRequest parseBridgeArguments(const QStringList &arguments)
{
    BridgeRequest request;
    Options options;
    if (!options.parser.parse(QStringList{QStringLiteral("tunaris-bridge")} + arguments)) {
        request.error = options.parser.errorText();
        return request;
    }
    if (options.parser.isSet(QStringLiteral("help"))) {
        request.action = BridgeRequest::Action::ShowHelp;
        return request;
    }
    if (options.parser.isSet(QStringLiteral("version"))) {
        request.action = BridgeRequest::Action::ShowVersion;
        return request;
    }
    request.error = check(options.parser, request);
    return request;
}

QString bridgeUsage()
{
    return helpText(Options().help());
}

QString bridgeVersion()
{
    return versionText(QStringLiteral("tunaris-bridge"));
}

QStringList startReport(const BridgeRequest &request, quint16 port, quint16 webPort)
{
    QStringList lines;
    if (!request.listens && !request.web && !request.office) {
        // A broker's client, or the port's holder for this user's programs
        // alone (tunaris-send, the console): nothing listens on the network.
        if (!request.broker)
            lines << QStringLiteral("nothing listens on the network; this user's programs reach the player through "
                                    "the port's endpoint");
        return lines;
    }
    if (request.listens) {
        lines << QStringLiteral("listening on %1:%2 (%3%4)")
                     .arg(addressText(request.listenAddress))
                     .arg(port)
                     .arg(request.udp ? "UDP" : "TCP",
                          CommandListener::isDualStack(request.listenAddress) ? ", IPv6 and IPv4" : "");
    }
    if (request.office) {
        lines << QStringLiteral("office's page on %1:%2 (HTTP%3)")
                     .arg(addressText(request.officeAddress))
                     .arg(webPort)
                     .arg(CommandListener::isDualStack(request.officeAddress) ? ", IPv6 and IPv4" : "");
    }
    if (request.web) {
        lines << QStringLiteral("web remote on %1:%2 (HTTP%3)")
                     .arg(addressText(request.webAddress))
                     .arg(webPort)
                     .arg(CommandListener::isDualStack(request.webAddress) ? ", IPv6 and IPv4" : "");
    }
    if (request.allowed.isEmpty())
        return lines << QStringLiteral("serving the loopback addresses only; --allow NETWORK admits others");
    QStringList served;
    QStringList notServed;
    for (const CommandListener::Network &network : request.allowed) {
        bool reached = false;
        for (const QHostAddress &address : listeningAddresses(request)) {
            if (canReach(address, network)) {
                reached = true;
                continue;
            }
            notServed << QStringLiteral("not serving %1: %2 takes IPv%3 clients only")
                             .arg(CommandListener::networkText(network), addressText(address))
                             .arg(takesIPv4Clients(address) ? 4 : 6);
        }
        if (reached)
            served << CommandListener::networkText(network);
    }
    return lines << QStringLiteral("serving %1").arg(served.join(QLatin1String(", "))) << notServed;
}

QString addressText(const QHostAddress &address)
{
    return address.protocol() == QAbstractSocket::IPv6Protocol ? QStringLiteral("[%1]").arg(address.toString())
                                                               : address.toString();
}
