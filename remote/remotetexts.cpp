#include "remote/remotetexts.h"
#include "command/commandframe.h"
#include "command/commandgrammar.h"
#include "command/playercommand.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QTranslator>

#include <algorithm>
#include <iterator>

namespace {

// The window's own labels and accessible names, looked up in its context of
// the translation: the form and its accessible names mark them for it.
const char *const windowTexts[] = {
    "Tunaris - Serial Console",
    "Transport",
    "Folder",
    "Playlist",
    "Spot",
    "Source",
    "Web Radio",
    "FTP Client",
    "Volume",
    "RND",
    "SEQ",
    "Reset",
    "X IN RND",
    "X IN SEQ",
    "Mute",
    "Min",
    "Max",
    "More",
    "Less",
    "Load",
    "Launch",
    "Change",
    "Folder number",
    "Playlist number",
    "Spot number",
    "Spot X value",
    "Playback source",
    "Web radio station",
    "FTP client number",
    "%1 volume",
    "%1 volume step",
    "%1 (not sent)",
};

// The page's own: the key, the link as the bridge sees it, what became of a
// command and what is not known of the volume.
const char *const pageOwnTexts[] = {
    QT_TRANSLATE_NOOP("WebRemote", "Ask the operator for this remote's link: only the key in it lets a phone send "
                                   "commands."),
    QT_TRANSLATE_NOOP("WebRemote", "This phone's key is no longer this remote's: ask the operator for its link."),
    QT_TRANSLATE_NOOP("WebRemote", "Port open: %1"),
    QT_TRANSLATE_NOOP("WebRemote", "Through the console, which holds %1"),
    QT_TRANSLATE_NOOP("WebRemote", "Waiting: the next command opens %1"),
    QT_TRANSLATE_NOOP("WebRemote", "Port lost: %1 (the next command tries again)"),
    QT_TRANSLATE_NOOP("WebRemote", "No link to the bridge; trying again"),
    QT_TRANSLATE_NOOP("WebRemote", "%1: outcome unknown (%2); check the player before sending it again"),
    QT_TRANSLATE_NOOP("WebRemote", "the bridge did not answer"),
    // What is not known of the volume: nothing that went out set it.
    QT_TRANSLATE_NOOP("WebRemote", "Level unknown"),
    QT_TRANSLATE_NOOP("WebRemote", "Mute unknown"),
};

// One command of each name, so that every name comes from the one table.
QList<PlayerCommand> oneOfEachName()
{
    using namespace Commands;
    QList<PlayerCommand> commands;
    for (const Opcode opcode : transportOpcodes)
        commands << PlayerCommand::transportCommand(opcode);
    commands << PlayerCommand::folder(1, LoadMode::Random, false) << PlayerCommand::playlist(1, LoadMode::Random, false)
             << PlayerCommand::spot(1, SpotMode::Random) << PlayerCommand::webRadio(1) << PlayerCommand::ftp(1)
             << PlayerCommand::source(0) << PlayerCommand::volume(VolumeChannel::All, 0)
             << PlayerCommand::volumeStep(VolumeChannel::All, 1)
             << PlayerCommand::muteChannel(VolumeChannel::All, true);
    return commands;
}

QByteArray buildTexts(PageLanguage language)
{
    const auto translated = [language](const char *context, const char *source) {
        return translatedText(language, context, source);
    };
    QJsonObject texts;
    for (const char *source : windowTexts)
        texts.insert(QLatin1String(source), translated("MainWindow", source));
    for (const char *source : pageOwnTexts)
        texts.insert(QLatin1String(source), translated("WebRemote", source));
    for (const PlayerCommand &command : oneOfEachName()) {
        const QByteArray name = commandName(command).toLatin1();
        texts.insert(QLatin1String(name), translated("MainWindow", name.constData()));
    }

    QJsonArray sources;
    const QStringList sourceWords = Commands::sourceShortNames();
    const QStringList sourceNames = Commands::sourceNames();
    for (int i = 0; i < sourceWords.size(); ++i)
        sources.append(QJsonObject{{"word", sourceWords.at(i)}, {"name", sourceNames.value(i)}});

    // In the window's order, ALL, XLR, RCA, as the grammar lists them.
    QJsonArray channels;
    const QStringList channelWordList = channelWords();
    for (const Commands::VolumeChannel channel : volumeChannels) {
        const QByteArray name = channelName(channel).toLatin1();
        channels.append(QJsonObject{{"word", channelWordList.at(int(channels.size()))},
                                    {"name", translated("MainWindow", name.constData())}});
    }

    const QJsonObject limits{{"media", Commands::MaxMediaNumber}, {"spotCount", Commands::MaxSpotCount},
                             {"stations", Commands::MaxStation},  {"minLevel", Commands::MinLevel},
                             {"maxLevel", Commands::MaxLevel},    {"maxStep", Commands::MaxStep}};
    const QJsonObject page{{"language", language == PageLanguage::French ? "fr" : "en"},
                           {"texts", texts},
                           {"sources", sources},
                           {"channels", channels},
                           {"limits", limits}};
    return QJsonDocument(page).toJson(QJsonDocument::Compact);
}

} // namespace

QString translatedText(PageLanguage language, const char *context, const char *source)
{
    static const QTranslator *const french = [] {
        auto *translator = new QTranslator; // for the program's life
        if (!translator->load(QStringLiteral(":/remote/LanguageData_fr.qm")))
            qWarning("the pages' French translation is missing from their resources");
        return translator;
    }();
    const QString text = language == PageLanguage::French ? french->translate(context, source) : QString();
    return text.isEmpty() ? QString::fromUtf8(source) : text;
}

PageLanguage pageLanguage(const QByteArray &acceptLanguage)
{
    // A header is at most what the server reads of a request; the first
    // few choices are all a browser means.
    constexpr int maxChoices = 16;
    const QList<QByteArray> choices = acceptLanguage.split(',').mid(0, maxChoices);
    std::optional<PageLanguage> best;
    double bestWeight = 0;
    for (const QByteArray &choice : choices) {
        const QList<QByteArray> parts = choice.split(';');
        const QByteArray primary = parts.first().trimmed().toLower().split('-').first();
        double weight = 1;
        for (const QByteArray &parameter : parts.mid(1)) {
            const QByteArray trimmed = parameter.trimmed();
            if (trimmed.startsWith("q=")) {
                bool ok = false;
                weight = trimmed.mid(2).toDouble(&ok);
                if (!ok || weight < 0 || weight > 1)
                    weight = 0;
            }
        }
        const std::optional<PageLanguage> language = primary == "fr"   ? std::optional(PageLanguage::French)
                                                     : primary == "en" ? std::optional(PageLanguage::English)
                                                                       : std::nullopt;
        if (language && weight > bestWeight) {
            best = language;
            bestWeight = weight;
        }
    }
    return best.value_or(PageLanguage::English);
}

QByteArray pageTexts(PageLanguage language)
{
    static const QByteArray english = buildTexts(PageLanguage::English);
    static const QByteArray french = buildTexts(PageLanguage::French);
    return language == PageLanguage::French ? french : english;
}
