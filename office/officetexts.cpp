#include "office/officetexts.h"
#include "command/commandgrammar.h"
#include "command/playercommand.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

const char *const officeOwnTexts[] = {
    QT_TRANSLATE_NOOP("OfficePage", "Tunaris - Office"),
    QT_TRANSLATE_NOOP("OfficePage", "Ask the operator for the office's link: only the key in it opens this page."),
    QT_TRANSLATE_NOOP("OfficePage", "This browser's key is no longer the office's: ask the operator for its link."),
    // The broker, as the page's bridge sees it.
    QT_TRANSLATE_NOOP("OfficePage", "Connected to %1"),
    QT_TRANSLATE_NOOP("OfficePage", "Reading the players' states from %1"),
    QT_TRANSLATE_NOOP("OfficePage", "No link to %1: %2; trying again"),
    QT_TRANSLATE_NOOP("OfficePage", "No link to the office's bridge; trying again"),
    QT_TRANSLATE_NOOP("OfficePage", "%1 players: %2 online, %3 offline"),
    QT_TRANSLATE_NOOP("OfficePage", "The broker keeps more players than this page shows."),
    QT_TRANSLATE_NOOP("OfficePage", "Showing %1 of %2 players"),
    // The table's columns.
    QT_TRANSLATE_NOOP("OfficePage", "Player"),
    QT_TRANSLATE_NOOP("OfficePage", "Groups"),
    QT_TRANSLATE_NOOP("OfficePage", "State"),
    QT_TRANSLATE_NOOP("OfficePage", "Link"),
    QT_TRANSLATE_NOOP("OfficePage", "Last command"),
    QT_TRANSLATE_NOOP("OfficePage", "Host and port"),
    QT_TRANSLATE_NOOP("OfficePage", "Sort by %1"),
    // A player's state and link, as its bridge tells them.
    QT_TRANSLATE_NOOP("OfficePage", "online"),
    QT_TRANSLATE_NOOP("OfficePage", "offline"),
    QT_TRANSLATE_NOOP("OfficePage", "since %1"),
    QT_TRANSLATE_NOOP("OfficePage", "open"),
    QT_TRANSLATE_NOOP("OfficePage", "held by the console"),
    QT_TRANSLATE_NOOP("OfficePage", "lost"),
    QT_TRANSLATE_NOOP("OfficePage", "waiting"),
    QT_TRANSLATE_NOOP("OfficePage", "its state cannot be read"),
    QT_TRANSLATE_NOOP("OfficePage", "its state came without the MQTT 5 properties, so commands cannot reach it"),
    QT_TRANSLATE_NOOP("OfficePage", "none"),
    // Sorting and filtering.
    QT_TRANSLATE_NOOP("OfficePage", "Every group"),
    QT_TRANSLATE_NOOP("OfficePage", "Every state"),
    QT_TRANSLATE_NOOP("OfficePage", "Online"),
    QT_TRANSLATE_NOOP("OfficePage", "Offline"),
    QT_TRANSLATE_NOOP("OfficePage", "Link lost or waiting"),
    QT_TRANSLATE_NOOP("OfficePage", "Find a player"),
    // Sending, and what became of it.
    QT_TRANSLATE_NOOP("OfficePage", "Send to"),
    QT_TRANSLATE_NOOP("OfficePage", "Player %1"),
    QT_TRANSLATE_NOOP("OfficePage", "Group %1 (%2 players)"),
    QT_TRANSLATE_NOOP("OfficePage", "Command"),
    QT_TRANSLATE_NOOP("OfficePage", "Send"),
    QT_TRANSLATE_NOOP("OfficePage", "Send to this player"),
    QT_TRANSLATE_NOOP("OfficePage", "Choose a player or a group to send to."),
    QT_TRANSLATE_NOOP("OfficePage", "Commands sent from the office"),
    // "play to group shops": the command, then whom it went to.
    QT_TRANSLATE_NOOP("OfficePage", "%1 to %2"),
    QT_TRANSLATE_NOOP("OfficePage", "player %1"),
    QT_TRANSLATE_NOOP("OfficePage", "group %1"),
    QT_TRANSLATE_NOOP("OfficePage", "%1 of %2 answered: %3 ok, %4 not sent, %5 unknown"),
    QT_TRANSLATE_NOOP("OfficePage", "sent"),
    QT_TRANSLATE_NOOP("OfficePage", "not sent"),
    QT_TRANSLATE_NOOP("OfficePage", "outcome unknown: check the player before sending it again"),
    QT_TRANSLATE_NOOP("OfficePage", "waiting for its answer"),
    QT_TRANSLATE_NOOP("OfficePage", "The office's bridge did not answer: the outcome of this command is unknown."),
};

QByteArray buildTexts(PageLanguage language)
{
    QJsonObject texts;
    for (const char *source : officeOwnTexts)
        texts.insert(QLatin1String(source), translatedText(language, "OfficePage", source));
    QJsonArray transport;
    for (const Commands::Opcode opcode : transportOpcodes) {
        const PlayerCommand command = PlayerCommand::transportCommand(opcode);
        const QByteArray name = commandName(command).toLatin1();
        transport.append(QJsonObject{{"word", commandWords(command)},
                                     {"name", translatedText(language, "MainWindow", name.constData())}});
    }
    return QJsonDocument(QJsonObject{{"language", language == PageLanguage::French ? "fr" : "en"},
                                     {"texts", texts},
                                     {"transport", transport}})
        .toJson(QJsonDocument::Compact);
}

} // namespace

QByteArray officeTexts(PageLanguage language)
{
    static const QByteArray english = buildTexts(PageLanguage::English);
    static const QByteArray french = buildTexts(PageLanguage::French);
    return language == PageLanguage::French ? french : english;
}
