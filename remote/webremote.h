#pragma once

#include "link/playerlink.h"
#include "remote/pageevents.h"
#include "remote/remotepolicy.h"
#include "remote/remoteroutes.h"

#include <QByteArray>
#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QObject>

// The venue's remote: the player's controls as one small page for a phone,
// served over plain HTTP from the program's own resources. A command comes
// as POST /command, its body one command in the grammar's words, and goes
// to the same intake as a TCP line, answered in the same words
// ("ok 20 ff ff ff", "error <reason>", "unknown <reason>"). Every page
// follows the link's state, every command's echo and what is known of the
// volume over a WebSocket (/events), which carries nothing the other way.
//
// Only those the operator lets in: the networks allowed, as for the TCP
// lines (the loopback addresses alone when none is given), and of those
// only a browser that holds the key. The link the operator hands out
// carries it once (/?key=...); it is then kept in a cookie the page's
// scripts cannot read and other sites' pages never send (HttpOnly,
// SameSite=Strict), and a command or a WebSocket is taken only from this
// server's own page (its Origin). No GET changes anything. Every byte from
// a client is taken as hostile: requests are bounded in size and time,
// clients in number, per address and in commands per second, and those
// that have shown the key keep their slots (remotepolicy.h).
//
// Three parts: the policy (who and what is let in), the routes (what each
// request is answered) and the pages' events.
class WebRemote : public QObject
{
public:
    using Network = RemotePolicy::Network;
    using Report = RemotePolicy::Report;

    // `key`: what a browser must hold (remotekey.h); `intake`: where every
    // command of the bridge goes.
    WebRemote(const QByteArray &key, CommandIntake *intake, Report report, QObject *parent = nullptr);
    ~WebRemote() override;

    // No networks: the loopback addresses only.
    void allow(const QList<Network> &networks) { m_policy.allow(networks); }
    bool listen(const QHostAddress &address, quint16 port, QString *error);
    quint16 port() const;

    // What every page shows of the link to the player, now and on opening.
    void showLink(const QString &portName, const PlayerLink::State &link);
    // A command the bridge delivered, from whichever client, and what
    // became of it: every page echoes it, as the console's status line does.
    void echo(const PlayerCommand &command, const SendOutcome &outcome);
    // What is known of the player's volume (KnownMixer::toJson()): what
    // every page shows, now and on opening; until told, all is unknown.
    void showMixer(const QJsonObject &mixer);

private:
    RemotePolicy m_policy;
    RemoteRoutes m_routes; // the server; its sockets go before the policy that counts them
    PageEvents m_events;   // first to go: a page's socket lives in its WebSocket
    QJsonObject m_mixer;
};
