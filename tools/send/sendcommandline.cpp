#include "tools/send/sendcommandline.h"
#include "base/programhelp.h"
#include "command/commandgrammar.h"
#include "link/portnames.h"

#include <QHash>

using namespace Commands;

namespace {

const QString helpOption = QStringLiteral("--help");
const QString shortHelpOption = QStringLiteral("-h");
const QString versionOption = QStringLiteral("--version");
const QString portOption = QStringLiteral("--port");
const QString baudOption = QStringLiteral("--baud");
const QString listPortsOption = QStringLiteral("--list-ports");
const QString mqttOption = QStringLiteral("--mqtt");
const QString playerOption = QStringLiteral("--player");
const QString groupOption = QStringLiteral("--group");
const QString credentialsOption = QStringLiteral("--mqtt-credentials");
const QString caOption = QStringLiteral("--mqtt-ca");
const QString listPlayersOption = QStringLiteral("--list-players");
const QString watchOption = QStringLiteral("--watch");
// The broker's options, each taking a value and given once at most.
const QStringList fleetOptions = {mqttOption, playerOption, groupOption, credentialsOption, caOption};

// "--port=/dev/ttyUSB0" is the same as "--port /dev/ttyUSB0".
QStringList splitOptionValues(const QStringList &arguments)
{
    QStringList tokens;
    for (const QString &argument : arguments) {
        const int equals = int(argument.indexOf(QLatin1Char('=')));
        if (argument.startsWith(QLatin1String("--")) && equals > 2)
            tokens << argument.left(equals) << argument.mid(equals + 1);
        else
            tokens << argument;
    }
    return tokens;
}

// Takes the options that name the line, which may stand anywhere, out of
// the arguments; the rest are the commands' words.
class LineOptionReader
{
public:
    explicit LineOptionReader(SendRequest &request)
        : m_request(request)
    {
    }
    QStringList commandWords(const QStringList &tokens);
    // Once the words are read: the broker's options checked as a whole.
    void checkFleet(bool commandsGiven);

private:
    bool fail(const QString &message);
    bool take(const QString &option, const QString &value);

    SendRequest &m_request;
    bool m_portGiven = false;
    bool m_baudGiven = false;
    bool m_listPlayers = false;
    bool m_watch = false;
    QHash<QString, QString> m_fleet; // the broker's options given, by name
};

QStringList LineOptionReader::commandWords(const QStringList &tokens)
{
    QStringList words;
    for (int i = 0; i < tokens.size() && m_request.error.isEmpty(); ++i) {
        const QString &token = tokens.at(i);
        if (token == listPortsOption) {
            m_request.action = SendRequest::Action::ListPorts;
        } else if (token == listPlayersOption) {
            m_listPlayers = true;
        } else if (token == watchOption) {
            m_watch = true;
        } else if (token == portOption || token == baudOption || fleetOptions.contains(token)) {
            const QString value = tokens.value(i + 1);
            if (value.isEmpty() || value.startsWith(QLatin1String("--")))
                take(token, QString());
            else
                take(token, tokens.at(++i));
        } else {
            words << token;
        }
    }
    return words;
}

bool LineOptionReader::fail(const QString &message)
{
    if (m_request.error.isEmpty())
        m_request.error = message;
    return false;
}

bool LineOptionReader::take(const QString &option, const QString &value)
{
    if (fleetOptions.contains(option)) {
        if (m_fleet.contains(option))
            return fail(QStringLiteral("%1 given more than once").arg(option));
        m_fleet.insert(option, value);
        return value.isEmpty() ? fail(QStringLiteral("%1 needs a value").arg(option)) : true;
    }
    bool &given = option == portOption ? m_portGiven : m_baudGiven;
    if (given)
        return fail(QStringLiteral("%1 given more than once").arg(option));
    given = true;
    if (value.isEmpty())
        return fail(QStringLiteral("%1 needs a value").arg(option));
    if (option == portOption) {
        const QString error = portArgumentError(value);
        if (!error.isEmpty())
            return fail(error);
        m_request.port = value;
        return true;
    }
    const std::optional<qint32> rate = parseBaudRate(value);
    if (!rate)
        return fail(QStringLiteral("baud rate %1 is not supported (%2)").arg(value, supportedBaudRatesText()));
    m_request.baudRate = *rate;
    return true;
}

void LineOptionReader::checkFleet(bool commandsGiven)
{
    if (!m_request.error.isEmpty())
        return;
    if (!m_fleet.contains(mqttOption)) {
        for (const QString &option : fleetOptions + QStringList{listPlayersOption, watchOption}) {
            if (m_fleet.contains(option) || (option == listPlayersOption && m_listPlayers)
                || (option == watchOption && m_watch))
                return void(fail(QStringLiteral("%1 is for a broker: it needs --mqtt URL").arg(option)));
        }
        return;
    }
    if (m_watch && !m_listPlayers)
        return void(fail(QStringLiteral("--watch keeps a listing up to date: it needs --list-players")));
    m_request.watch = m_watch;
    if (!mqttSupported())
        return void(fail(mqttUnsupported()));
    if (m_portGiven || m_baudGiven)
        return void(fail(QStringLiteral("--mqtt sends through a broker: it takes no --port or --baud")));
    if (m_listPlayers) {
        if (commandsGiven || m_fleet.contains(playerOption) || m_fleet.contains(groupOption))
            return void(fail(QStringLiteral("--list-players takes no player, group or command")));
        m_request.action = SendRequest::Action::ListPlayers;
    } else {
        m_request.player = m_fleet.value(playerOption);
        m_request.group = m_fleet.value(groupOption);
        if (m_request.player.isEmpty() == m_request.group.isEmpty())
            return void(fail(QStringLiteral("name the player (--player ID) or the group (--group NAME), one of them")));
        if (!m_request.player.isEmpty() && !isFleetName(m_request.player))
            return void(fail(fleetNameError(QStringLiteral("player"), m_request.player)));
        if (!m_request.group.isEmpty() && !isFleetName(m_request.group))
            return void(fail(fleetNameError(QStringLiteral("group"), m_request.group)));
    }
    QString error;
    m_request.broker =
        brokerSettings(m_fleet.value(mqttOption), m_fleet.value(credentialsOption), m_fleet.value(caOption), &error);
    if (!m_request.broker)
        fail(error);
}

} // namespace

SendRequest parseSendArguments(const QStringList &arguments)
{
    SendRequest request;
    const QStringList tokens = splitOptionValues(arguments);
    if (tokens.contains(helpOption) || tokens.contains(shortHelpOption)) {
        request.action = SendRequest::Action::ShowHelp;
        return request;
    }
    if (tokens.contains(versionOption)) {
        request.action = SendRequest::Action::ShowVersion;
        return request;
    }
    LineOptionReader reader(request);
    const QStringList words = reader.commandWords(tokens);
    if (!request.error.isEmpty() || request.action == SendRequest::Action::ListPorts)
        return request;
    reader.checkFleet(!words.isEmpty());
    if (!request.error.isEmpty() || request.action == SendRequest::Action::ListPlayers)
        return request;
    const ParsedCommands parsed = parseCommandWords(words);
    request.commands = parsed.commands;
    if (!parsed.error.isEmpty())
        request.error = parsed.error;
    else if (request.port.isEmpty() && !request.broker)
        request.error = QStringLiteral("no port given (--port PORT)");
    else if (request.commands.isEmpty())
        request.error = QStringLiteral("no command given");
    return request;
}

QString sendUsage()
{
    const QString media = QStringLiteral("1 to %1").arg(MaxMediaNumber);
    const QString station = QStringLiteral("1 to %1").arg(MaxStation);
    ProgramHelp help;
    help.program = QStringLiteral("tunaris-send");
    help.usages = QStringList{QStringLiteral("--port PORT [--baud RATE] COMMAND..."),
                              QStringLiteral("--mqtt URL (--player ID | --group NAME) COMMAND..."),
                              QStringLiteral("--mqtt URL --list-players [--watch]"), QStringLiteral("--list-ports")};
    help.summary = QStringLiteral("Sends commands to a Tunaris player over a serial port, in the order given, with "
                                  "the same frames as the console, and exits once they are on the line. When "
                                  "another program holds the port (the console, tunaris-bridge), the commands go "
                                  "through it, one at a time; the first that does not go out stops the rest.");
    help.options = {
        {QStringLiteral("--port PORT"), QStringLiteral("the serial port, for example /dev/ttyUSB0 or COM3, or a "
                                                       "serial device server's raw TCP port, tcp://HOST:NUMBER")},
        {QStringLiteral("--baud RATE"),
         QStringLiteral("%1 (default %2)").arg(supportedBaudRatesText()).arg(DefaultBaudRate)},
        {QStringLiteral("--list-ports"), QStringLiteral("list the serial ports and exit")},
        {QStringLiteral("--mqtt URL"),
         QStringLiteral("send through an MQTT broker instead, mqtt://HOST[:PORT] or mqtts://HOST[:PORT], to the "
                        "player --player ID or to every player of --group NAME, and wait for their replies")},
        {QStringLiteral("--mqtt-credentials FILE"),
         QStringLiteral("the broker's user name and password, in lines username=NAME and password=SECRET")},
        {QStringLiteral("--mqtt-ca FILE"), QStringLiteral("trust only this certificate authority for mqtts://")},
        {QStringLiteral("--list-players"),
         QStringLiteral("list the players the broker knows, online or not, and exit")},
        {QStringLiteral("--watch"),
         QStringLiteral("with --list-players: keep the listing up to date until Ctrl+C, as a table on a terminal "
                        "(q ends it), else one line per change as it happens")},
    };
    const QString commands =
        QStringLiteral("  %1\n"
                       "  folder N [--seq] [--reset]     load folder N (%2), random order unless --seq\n"
                       "  playlist N [--seq] [--reset]   load playlist N (%2)\n"
                       "  spot N [--seq | --x-in-rnd X | --x-in-seq X]\n"
                       "                                 load spot N (%2); X from 1 to %3\n"
                       "  webradio N                     load web radio station N (%4)\n"
                       "  ftp N                          launch FTP client N (%4)\n"
                       "  source NAME                    select the source: %5\n"
                       "  volume CHANNEL LEVEL           set CHANNEL (%6) to LEVEL dB (%7 to %8)\n"
                       "  volume CHANNEL up|down STEP    raise or lower CHANNEL by STEP dB (1 to %9)\n"
                       "  mute CHANNEL on|off            mute or unmute CHANNEL\n")
            .arg(transportWords().join(QLatin1String(" | ")), media)
            .arg(MaxSpotCount)
            .arg(station, alternatives(sourceShortNames()), alternatives(channelWords()))
            .arg(MinLevel)
            .arg(MaxLevel)
            .arg(MaxStep);
    help.sections = {
        {QStringLiteral("Commands"), commands},
        {QStringLiteral("Examples"), QStringLiteral("  tunaris-send --port /dev/ttyUSB0 folder 300 --seq --reset\n"
                                                    "  tunaris-send --port COM3 --baud 9600 volume xlr -20 play\n"
                                                    "  tunaris-send --mqtt mqtt://broker.example.com --group shops "
                                                    "play\n")},
        {QStringLiteral("Exit status"),
         QStringLiteral("  0  every command was sent (through a broker: every player addressed said ok)\n"
                        "  1  a command was not sent (nor any after it); the message says which went out\n"
                        "  2  the arguments are wrong; nothing was sent\n"
                        "  3  the outcome of a command is unknown: the program holding the port took it\n"
                        "     and stopped or died without answering, or a device server took part of it\n"
                        "     and did not close in order; it may have gone out, so do not repeat it\n"
                        "     blindly\n")},
    };
    return helpText(help);
}

QString sendVersion()
{
    return versionText(QStringLiteral("tunaris-send"));
}
