#include "sendcommandline.h"
#include "alternatives.h"

#include <QRegularExpression>

#include <optional>

using namespace Commands;

namespace {

const QString helpOption = QStringLiteral("--help");
const QString shortHelpOption = QStringLiteral("-h");
const QString portOption = QStringLiteral("--port");
const QString baudOption = QStringLiteral("--baud");
const QString listPortsOption = QStringLiteral("--list-ports");
const QString seqOption = QStringLiteral("--seq");
const QString resetOption = QStringLiteral("--reset");
const QString xInRndOption = QStringLiteral("--x-in-rnd");
const QString xInSeqOption = QStringLiteral("--x-in-seq");

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

// The channels as the command line writes them: "all", "xlr", "rca".
QStringList channelWords()
{
    QStringList words;
    for (const VolumeChannel channel : volumeChannels)
        words << channelName(channel).toLower();
    return words;
}

QStringList transportWords()
{
    QStringList words;
    for (const Opcode opcode : transportOpcodes)
        words << commandName(PlayerCommand::transportCommand(opcode)).toLower();
    return words;
}

// Reads the arguments from left to right. Options that name the line may
// stand anywhere; every command word takes the arguments that follow it.
class SendArgumentParser
{
public:
    explicit SendArgumentParser(const QStringList &arguments) : m_tokens(splitOptionValues(arguments)) {}
    SendRequest parse();

private:
    bool atEnd() const { return m_next >= m_tokens.size(); }
    QString peek() const { return atEnd() ? QString() : m_tokens.at(m_next); }
    QString take() { return atEnd() ? QString() : m_tokens.at(m_next++); }
    bool fail(const QString &message);

    bool parseLineOption();
    bool parseCommand();
    bool parseNumberedLoad(const QString &word);
    bool parseSpot();
    bool parseSource();
    bool parseVolume();
    bool parseMute();
    bool misplacedOption(const QString &option);
    std::optional<int> takeNumber(const QString &what, int low, int high);
    std::optional<VolumeChannel> takeChannel(const QString &what);
    bool add(const PlayerCommand &command);

    QStringList m_tokens;
    int m_next = 0;
    SendRequest m_request;
    bool m_portGiven = false;
    bool m_baudGiven = false;
    QString m_lastCommandWord;
};

SendRequest SendArgumentParser::parse()
{
    if (m_tokens.contains(helpOption) || m_tokens.contains(shortHelpOption)) {
        m_request.action = SendRequest::Action::ShowHelp;
        return m_request;
    }
    while (!atEnd() && m_request.error.isEmpty()) {
        const QString token = peek();
        if (token == portOption || token == baudOption || token == listPortsOption)
            parseLineOption();
        else if (token.startsWith(QLatin1String("--")))
            misplacedOption(take());
        else
            parseCommand();
    }
    if (!m_request.error.isEmpty() || m_request.action == SendRequest::Action::ListPorts)
        return m_request;
    if (m_request.port.isEmpty())
        fail(QStringLiteral("no port given (--port PORT)"));
    else if (m_request.commands.isEmpty())
        fail(QStringLiteral("no command given"));
    return m_request;
}

bool SendArgumentParser::fail(const QString &message)
{
    if (m_request.error.isEmpty())
        m_request.error = message;
    return false;
}

bool SendArgumentParser::parseLineOption()
{
    const QString option = take();
    if (option == listPortsOption) {
        m_request.action = SendRequest::Action::ListPorts;
        return true;
    }
    bool &given = option == portOption ? m_portGiven : m_baudGiven;
    if (given)
        return fail(QStringLiteral("%1 given more than once").arg(option));
    given = true;
    if (peek().isEmpty() || peek().startsWith(QLatin1String("--")))
        return fail(QStringLiteral("%1 needs a value").arg(option));
    const QString value = take();
    if (option == portOption) {
        m_request.port = value;
        return true;
    }
    const std::optional<qint32> rate = parseBaudRate(value);
    if (!rate)
        return fail(QStringLiteral("baud rate %1 is not supported (%2)").arg(value, supportedBaudRatesText()));
    m_request.baudRate = *rate;
    return true;
}

bool SendArgumentParser::parseCommand()
{
    const QString given = take();
    const QString word = given.toLower();
    m_lastCommandWord = word;
    const int transport = int(transportWords().indexOf(word));
    if (transport >= 0)
        return add(PlayerCommand::transportCommand(transportOpcodes[transport]));
    if (word == QLatin1String("folder") || word == QLatin1String("playlist"))
        return parseNumberedLoad(word);
    if (word == QLatin1String("spot"))
        return parseSpot();
    if (word == QLatin1String("webradio")) {
        const std::optional<int> station = takeNumber(word, 1, MaxStation);
        return station && add(PlayerCommand::webRadio(*station));
    }
    if (word == QLatin1String("ftp")) {
        const std::optional<int> client = takeNumber(word, 1, MaxStation);
        return client && add(PlayerCommand::ftp(*client));
    }
    if (word == QLatin1String("source"))
        return parseSource();
    if (word == QLatin1String("volume"))
        return parseVolume();
    if (word == QLatin1String("mute"))
        return parseMute();
    return fail(QStringLiteral("unknown command '%1'").arg(given));
}

bool SendArgumentParser::parseNumberedLoad(const QString &word)
{
    const std::optional<int> number = takeNumber(word, 1, MaxMediaNumber);
    if (!number)
        return false;
    LoadMode mode = LoadMode::Random;
    bool reset = false;
    for (;;) {
        if (peek() == seqOption)
            mode = LoadMode::Sequential;
        else if (peek() == resetOption)
            reset = true;
        else
            break;
        take();
    }
    return add(word == QLatin1String("folder") ? PlayerCommand::folder(*number, mode, reset)
                                               : PlayerCommand::playlist(*number, mode, reset));
}

bool SendArgumentParser::parseSpot()
{
    const std::optional<int> number = takeNumber(QStringLiteral("spot"), 1, MaxMediaNumber);
    if (!number)
        return false;
    QList<SpotMode> modes;
    int count = 0;
    for (;;) {
        const QString option = peek();
        if (option == seqOption) {
            take();
            modes << SpotMode::Sequential;
        } else if (option == xInRndOption || option == xInSeqOption) {
            take();
            const std::optional<int> x = takeNumber(option, 1, MaxSpotCount);
            if (!x)
                return false;
            count = *x;
            modes << (option == xInRndOption ? SpotMode::XInRandom : SpotMode::XInSequential);
        } else {
            break;
        }
    }
    if (modes.size() > 1)
        return fail(QStringLiteral("spot takes only one of %1, %2 and %3").arg(seqOption, xInRndOption, xInSeqOption));
    return add(PlayerCommand::spot(*number, modes.value(0, SpotMode::Random), count));
}

bool SendArgumentParser::parseSource()
{
    const QStringList names = sourceShortNames();
    if (atEnd())
        return fail(QStringLiteral("source needs a name (%1)").arg(alternatives(names)));
    const QString name = take();
    const int index = int(names.indexOf(name.toLower()));
    if (index < 0)
        return fail(QStringLiteral("unknown source '%1' (%2)").arg(name, alternatives(names)));
    return add(PlayerCommand::source(index));
}

bool SendArgumentParser::parseVolume()
{
    const std::optional<VolumeChannel> channel = takeChannel(QStringLiteral("volume"));
    if (!channel)
        return false;
    const QString what = QStringLiteral("volume ") + channelName(*channel).toLower();
    const QString direction = peek().toLower();
    if (direction == QLatin1String("up") || direction == QLatin1String("down")) {
        take();
        const std::optional<int> step = takeNumber(what + QLatin1Char(' ') + direction, 1, MaxStep);
        return step && add(PlayerCommand::volumeStep(*channel, direction == QLatin1String("up") ? *step : -*step));
    }
    const std::optional<int> level = takeNumber(what, MinLevel, MaxLevel);
    return level && add(PlayerCommand::volume(*channel, *level));
}

bool SendArgumentParser::parseMute()
{
    const std::optional<VolumeChannel> channel = takeChannel(QStringLiteral("mute"));
    if (!channel)
        return false;
    const QString state = take().toLower();
    if (state != QLatin1String("on") && state != QLatin1String("off"))
        return fail(QStringLiteral("mute %1 needs on or off").arg(channelName(*channel).toLower()));
    return add(PlayerCommand::muteChannel(*channel, state == QLatin1String("on")));
}

bool SendArgumentParser::misplacedOption(const QString &option)
{
    const QStringList commandOptions = {seqOption, resetOption, xInRndOption, xInSeqOption};
    if (!commandOptions.contains(option))
        return fail(QStringLiteral("unknown option '%1'").arg(option));
    if (m_lastCommandWord.isEmpty())
        return fail(QStringLiteral("%1 must follow the command it belongs to").arg(option));
    return fail(QStringLiteral("%1 does not apply to %2").arg(option, m_lastCommandWord));
}

std::optional<int> SendArgumentParser::takeNumber(const QString &what, int low, int high)
{
    const QString range = QStringLiteral("%1 to %2").arg(low).arg(high);
    if (atEnd() || peek().startsWith(QLatin1String("--"))) {
        fail(QStringLiteral("%1 needs a number from %2").arg(what, range));
        return std::nullopt;
    }
    const QString text = take();
    static const QRegularExpression decimal(QStringLiteral("^-?[0-9]+$"));
    if (!decimal.match(text).hasMatch()) {
        fail(QStringLiteral("%1: '%2' is not a number (%3)").arg(what, text, range));
        return std::nullopt;
    }
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    if (!ok || value < low || value > high) {
        fail(QStringLiteral("%1 %2 is out of range (%3)").arg(what, text, range));
        return std::nullopt;
    }
    return value;
}

std::optional<VolumeChannel> SendArgumentParser::takeChannel(const QString &what)
{
    const QString name = take();
    for (const VolumeChannel channel : volumeChannels) {
        if (name.compare(channelName(channel), Qt::CaseInsensitive) == 0)
            return channel;
    }
    const QString names = alternatives(channelWords());
    if (name.isEmpty())
        fail(QStringLiteral("%1 needs a channel (%2)").arg(what, names));
    else
        fail(QStringLiteral("%1: unknown channel '%2' (%3)").arg(what, name, names));
    return std::nullopt;
}

bool SendArgumentParser::add(const PlayerCommand &command)
{
    m_request.commands << command;
    return true;
}

} // namespace

SendRequest parseSendArguments(const QStringList &arguments)
{
    return SendArgumentParser(arguments).parse();
}

QString sendUsage()
{
    const QString media = QStringLiteral("1 to %1").arg(MaxMediaNumber);
    const QString station = QStringLiteral("1 to %1").arg(MaxStation);
    return QStringLiteral(
               "Usage: tunaris-send --port PORT [--baud RATE] COMMAND...\n"
               "Sends commands to a Tunaris player over a serial port, in the order given,\n"
               "with the same frames as the console, and exits once they are on the line.\n"
               "\n"
               "Options:\n"
               "  --port PORT    the serial port, for example /dev/ttyUSB0 or COM3\n"
               "  --baud RATE    %1 (default %2)\n"
               "  --list-ports   list the serial ports and exit\n"
               "  -h, --help     show this help and exit\n"
               "\n"
               "Commands:\n"
               "  %3\n"
               "  folder N [--seq] [--reset]     load folder N (%4), random order unless --seq\n"
               "  playlist N [--seq] [--reset]   load playlist N (%4)\n"
               "  spot N [--seq | --x-in-rnd X | --x-in-seq X]\n"
               "                                 load spot N (%4); X from 1 to %5\n"
               "  webradio N                     load web radio station N (%6)\n"
               "  ftp N                          launch FTP client N (%6)\n"
               "  source NAME                    select the source: %7\n"
               "  volume CHANNEL LEVEL           set CHANNEL (%8) to LEVEL dB (%9 to %10)\n"
               "  volume CHANNEL up|down STEP    raise or lower CHANNEL by STEP dB (1 to %11)\n"
               "  mute CHANNEL on|off            mute or unmute CHANNEL\n"
               "\n"
               "Examples:\n"
               "  tunaris-send --port /dev/ttyUSB0 folder 300 --seq --reset\n"
               "  tunaris-send --port COM3 --baud 9600 volume xlr -20 play\n"
               "\n"
               "Exit status: 0 when every command was sent, 1 when the port failed,\n"
               "2 when the arguments are wrong (then nothing is sent).\n")
        .arg(supportedBaudRatesText())
        .arg(DefaultBaudRate)
        .arg(transportWords().join(QLatin1String(" | ")), media)
        .arg(MaxSpotCount)
        .arg(station, alternatives(sourceShortNames()), alternatives(channelWords()))
        .arg(MinLevel)
        .arg(MaxLevel)
        .arg(MaxStep);
}
