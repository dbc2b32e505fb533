#pragma once

#include "command/playercommand.h"
#include "fleet/brokersettings.h"
#include "tools/common/serialline.h"

#include <QList>
#include <QString>
#include <QStringList>

// tunaris-send's exit statuses, also in its --help text.
enum SendExitCode { ExitSent = 0, ExitNotSent = 1, ExitBadArguments = 2, ExitOutcomeUnknown = 3 };

// What a tunaris-send command line asks for. The arguments are checked in
// full before anything is opened, so a typo anywhere sends nothing.
struct SendRequest
{
    enum class Action { Send, ShowHelp, ShowVersion, ListPorts, ListPlayers };

    Action action = Action::Send;
    QString port;
    qint32 baudRate = DefaultBaudRate;
    // --mqtt: the commands go through this broker to one player or a group.
    std::optional<BrokerSettings> broker;
    QString player;
    QString group;
    bool watch = false;            // --list-players kept up to date
    QList<PlayerCommand> commands; // in the order given
    QString error;                 // why the arguments are not usable; empty when they are
};

// `arguments` without the program name.
SendRequest parseSendArguments(const QStringList &arguments);

// The --help text: every option and every command with its range.
QString sendUsage();

// The --version text.
QString sendVersion();
