#pragma once

#include "fleet/fleettopics.h"

#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>

class FleetSender;
class StateReader;

// Every player's state as the broker keeps it, kept up to date on a
// sender's connection (fleetsender.h), for the office's page and
// tunaris-send --list-players --watch. At each connection, a new session,
// the states are read in full (statereader.h) and compared with what was
// known: what changed or went while the connection was away is told then;
// after that, each state as its bridge publishes it.
//
// The states come from whoever may publish on the broker, and are taken as
// hostile: only players named as a bridge names them are kept, at most
// MaxPlayers of them.
class FleetWatch : public QObject
{
    Q_OBJECT

public:
    static constexpr int MaxPlayers = 2000;
    // A reading that failed on a connection that stays is tried again.
    static constexpr int ReadAgainMs = 5000;

    explicit FleetWatch(FleetSender *sender, QObject *parent = nullptr);
    ~FleetWatch() override;

    // Whether every state has been read since the last connection.
    bool isListed() const { return m_listed; }
    const QMap<QString, SeenState> &players() const { return m_players; }
    // More players' states than MaxPlayers came: those beyond are not kept.
    bool overflowed() const { return m_overflowed; }

signals:
    // Read in full (again, after a new connection).
    void listed();
    void changed(const QString &player);
    void removed(const QString &player);
    void failed(const QString &reason);

private:
    void read();
    void take(const QString &player, const SeenState &seen);
    void drop(const QString &player);

    FleetSender *m_sender;
    QPointer<StateReader> m_reader;
    QMap<QString, SeenState> m_players;
    bool m_listed = false;
    bool m_overflowed = false;
};
