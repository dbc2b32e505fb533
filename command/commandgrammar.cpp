#include "command/commandgrammar.h"

#include <QRegularExpression>

#include <optional>

using namespace Commands;

namespace {

const QString seqOption = QStringLiteral("--seq");
const QString resetOption = QStringLiteral("--reset");
const QString xInRndOption = QStringLiteral("--x-in-rnd");
const QString xInSeqOption = QStringLiteral("--x-in-seq");

class CommandParser
{
public:
    explicit CommandParser(const QStringList &words)
        : m_words(words)
    {
    }
    ParsedCommands parse();

private:
    bool atEnd() const { return m_next >= m_words.size(); }
    QString peek() const { return atEnd() ? QString() : m_words.at(m_next); }
    QString take() { return atEnd() ? QString() : m_words.at(m_next++); }
    bool fail(const QString &message);

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

    QStringList m_words;
    int m_next = 0;
    ParsedCommands m_result;
    QString m_lastCommandWord;
};

ParsedCommands CommandParser::parse()
{
    while (!atEnd() && m_result.error.isEmpty()) {
        if (peek().startsWith(QLatin1String("--")))
            misplacedOption(take());
        else
            parseCommand();
    }
    if (!m_result.error.isEmpty())
        m_result.commands.clear();
    return m_result;
}

bool CommandParser::fail(const QString &message)
{
    if (m_result.error.isEmpty())
        m_result.error = message;
    return false;
}

bool CommandParser::parseCommand()
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

bool CommandParser::parseNumberedLoad(const QString &word)
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

bool CommandParser::parseSpot()
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

bool CommandParser::parseSource()
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

bool CommandParser::parseVolume()
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

bool CommandParser::parseMute()
{
    const std::optional<VolumeChannel> channel = takeChannel(QStringLiteral("mute"));
    if (!channel)
        return false;
    const QString state = take().toLower();
    if (state != QLatin1String("on") && state != QLatin1String("off"))
        return fail(QStringLiteral("mute %1 needs on or off").arg(channelName(*channel).toLower()));
    return add(PlayerCommand::muteChannel(*channel, state == QLatin1String("on")));
}

bool CommandParser::misplacedOption(const QString &option)
{
    const QStringList commandOptions = {seqOption, resetOption, xInRndOption, xInSeqOption};
    if (!commandOptions.contains(option))
        return fail(QStringLiteral("unknown option '%1'").arg(option));
    if (m_lastCommandWord.isEmpty())
        return fail(QStringLiteral("%1 must follow the command it belongs to").arg(option));
    return fail(QStringLiteral("%1 does not apply to %2").arg(option, m_lastCommandWord));
}

std::optional<int> CommandParser::takeNumber(const QString &what, int low, int high)
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

std::optional<VolumeChannel> CommandParser::takeChannel(const QString &what)
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

bool CommandParser::add(const PlayerCommand &command)
{
    m_result.commands << command;
    return true;
}

QString loadWords(const QString &word, const PlayerCommand &command)
{
    QString words = QStringLiteral("%1 %2").arg(word).arg(command.number);
    if (command.loadMode == LoadMode::Sequential)
        words += QLatin1Char(' ') + seqOption;
    if (command.reset)
        words += QLatin1Char(' ') + resetOption;
    return words;
}

QString spotWords(const PlayerCommand &command)
{
    const QString words = QStringLiteral("spot %1").arg(command.number);
    switch (command.spotMode) {
    case SpotMode::Random:
        return words;
    case SpotMode::Sequential:
        return words + QLatin1Char(' ') + seqOption;
    case SpotMode::XInRandom:
        return QStringLiteral("%1 %2 %3").arg(words, xInRndOption).arg(command.count);
    case SpotMode::XInSequential:
        return QStringLiteral("%1 %2 %3").arg(words, xInSeqOption).arg(command.count);
    }
    return words;
}

} // namespace

ParsedCommands parseCommandWords(const QStringList &words)
{
    return CommandParser(words).parse();
}

QString commandWords(const PlayerCommand &command)
{
    using Kind = PlayerCommand::Kind;
    const QString channel = channelName(command.channel).toLower();
    switch (command.kind) {
    case Kind::Transport:
        return commandName(command).toLower();
    case Kind::Folder:
        return loadWords(QStringLiteral("folder"), command);
    case Kind::Playlist:
        return loadWords(QStringLiteral("playlist"), command);
    case Kind::Spot:
        return spotWords(command);
    case Kind::WebRadio:
        return QStringLiteral("webradio %1").arg(command.number);
    case Kind::Ftp:
        return QStringLiteral("ftp %1").arg(command.number);
    case Kind::Source:
        return QStringLiteral("source ") + sourceShortNames().value(command.number);
    case Kind::Volume:
        return QStringLiteral("volume %1 %2").arg(channel).arg(command.level);
    case Kind::VolumeStep:
        return QStringLiteral("volume %1 %2 %3")
            .arg(channel, command.step > 0 ? QStringLiteral("up") : QStringLiteral("down"))
            .arg(qAbs(command.step));
    case Kind::Mute:
        return QStringLiteral("mute %1 %2").arg(channel, command.mute ? QStringLiteral("on") : QStringLiteral("off"));
    }
    return QString();
}

QStringList transportWords()
{
    QStringList words;
    for (const Opcode opcode : transportOpcodes)
        words << commandName(PlayerCommand::transportCommand(opcode)).toLower();
    return words;
}

QStringList channelWords()
{
    QStringList words;
    for (const VolumeChannel channel : volumeChannels)
        words << channelName(channel).toLower();
    return words;
}

QString alternatives(const QStringList &words)
{
    if (words.size() < 2)
        return words.join(QString());
    return words.mid(0, words.size() - 1).join(QLatin1String(", ")) + QLatin1String(" or ") + words.last();
}
