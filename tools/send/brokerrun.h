#pragma once

#include "fleet/fleettopics.h"
#include "tools/send/sendcommandline.h"

#include <QHash>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <memory>

class FleetSender;
class FleetWatch;
class PlayerTable;

// tunaris-send through a broker, in the application's event loop, which it
// ends with the exit status (SendExitCode): the players' listing, kept up to
// date with --watch; or each command to a player or to every member of a
// group, each on its own topic, the next only once every one said ok. A
// player whose state shows it offline, or that the path to it cannot serve,
// is answered at once and sent nothing. Each answer is shown as
// "shop-12: ok 20 ff ff ff", in the order of the players' names.
class BrokerRun : public QObject
{
public:
    // Waits this long for the broker before giving up; nothing is sent then.
    static constexpr int ConnectWithinMs = 10000;

    explicit BrokerRun(const SendRequest &request, QObject *parent = nullptr);
    ~BrokerRun() override;

    void start();

private:
    void ready();
    void unavailable(const QString &reason);
    void listed(const QMap<QString, SeenState> &states);
    void next();
    void answered(quint64 send, const QString &player, const QByteArray &reply);
    void finished(quint64 send);
    void end(int status);

    SendRequest m_request;
    std::unique_ptr<FleetSender> m_sender;
    std::unique_ptr<FleetWatch> m_watch;
    std::unique_ptr<PlayerTable> m_table;
    QTimer m_connectTimeout;
    bool m_started = false; // the broker was ready once: from here on it is only tried again
    bool m_ended = false;

    QStringList m_sendTo;                // those the commands go to
    QHash<QString, QByteArray> m_atOnce; // those answered at once, by player
    qsizetype m_command = 0;
    quint64 m_send = 0;
    QHash<QString, QByteArray> m_replies;
};
