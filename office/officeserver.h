#pragma once

#include "fleet/brokersettings.h"
#include "fleet/fleetsender.h"
#include "fleet/fleetwatch.h"
#include "link/throttledreport.h"
#include "remote/pageevents.h"
#include "remote/remotepolicy.h"
#include "remote/remoteroutes.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QStringList>

#include <map>

// The office's page: every player a fleet's broker knows, live, and commands
// to one player or to a group, with each addressed player's answer as it
// comes. Served by a bridge that holds no port (tunaris-bridge --mqtt URL
// --office ADDRESS:NUMBER), over plain HTTP from the program's resources,
// with the venue remote's pieces: the same policy (the networks allowed,
// slots kept by those who showed the key, requests bounded, the key in a
// cookie of its own and the page's Origin), the same routes and the same
// events (remote/). Its key is its own, never a venue remote's.
//
// The players come from their retained states (fleetwatch.h), each told to
// the pages as {"player":{...}} when it changes, and {"gone":{...}} when its
// state is removed. A command is POST /command with a JSON body,
// {"player":"shop-12","command":"play"} or {"group":"shops",...}, optionally
// with the page's "ref"; it goes the way tunaris-send --mqtt sends it, with
// the same contract and expiry (fleetsender.h): each player whose state shows
// it offline, or that the path to it cannot serve, is answered at once and
// sent nothing; each other gets exactly one answer. Every page sees each
// send and each answer as it comes ({"send":{...}}, {"answer":{...}}); the
// request itself is answered when the last player answered, as
// tunaris-send prints it, one line per player in the order of their names:
// 200 when every one said ok, 503 when one was not sent, 502 when an
// outcome is unknown, 4xx when the request was refused and nothing sent.
class OfficeServer : public QObject
{
public:
    using Network = RemotePolicy::Network;
    using Report = RemotePolicy::Report;

    // Every player's state, told at once to a page that opens.
    static constexpr qint64 MaxUnsentEventBytes = 8 * 1024 * 1024;
    // The sends a page that opens is told of.
    static constexpr int KeptSends = 20;
    static constexpr int MaxRequestBytes = 1024;

    OfficeServer(const BrokerSettings &broker, const QByteArray &key, Report report, QObject *parent = nullptr);
    ~OfficeServer() override;

    // No networks: the loopback addresses only.
    void allow(const QList<Network> &networks) { m_policy.allow(networks); }
    // Serves the page, and joins the broker.
    bool start(const QHostAddress &address, quint16 port, QString *error);
    quint16 port() const;
    // Leaves the broker; what is under way is answered "unknown".
    void stop();

private:
    struct Send
    {
        quint64 shown;     // its number on the pages
        QStringList order; // every player addressed, by name
        QHash<QString, QByteArray> answers;
        QJsonObject event; // as a page that opens is told it
        RemoteRoutes::Answer answer;
    };

    RemoteRoutes::Site site();
    void takeCommand(const QByteArray &body, const QHostAddress &client, RemoteRoutes::Answer answer);
    void answered(quint64 number, const QString &player, const QByteArray &reply);
    void finished(quint64 number);
    void finish(Send &send);
    void showBroker();
    void showPlayer(const QString &player);
    void brokerFailed(const QString &reason);

    BrokerSettings m_broker;
    Report m_report;
    FleetSender m_sender;
    FleetWatch m_watch;
    RemotePolicy m_policy;
    RemoteRoutes m_routes;        // the server; its sockets go before the policy that counts them
    PageEvents m_events;          // first to go: a page's socket lives in its WebSocket
    ThrottledReport m_sendReport; // a line per send, which a flood of them cannot turn into a flood of lines
    QString m_brokerFailure;
    QElapsedTimer m_failureTold;
    std::map<quint64, Send> m_sends; // under way, by the sender's number
    quint64 m_shownSends = 0;
    QList<quint64> m_keptSends; // by their number on the pages, oldest first
};
