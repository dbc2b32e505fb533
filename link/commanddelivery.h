#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QQueue>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

#include "command/commandline.h"

class PortEndpoint;
class QIODevice;
class QLocalSocket;

// Delivers commands to the player through whoever owns the port, one at a
// time and in the order given: through the console's endpoint when the
// console holds the port, otherwise on the port itself, which this program
// then holds and whose endpoint it serves, so that tunaris-send still
// reaches the player beside it. A port on a serial device server
// (tcp://HOST:NUMBER) is reached directly, on a new connection for the
// commands waiting at the time. When the owner goes away or the line fails,
// the next command looks for the owner again. A command that the owner took
// and never answered (it stopped or died) is reported unknown and never sent
// again; an endpoint that is not the user's own (portendpoint.h) is refused,
// and then the port is not opened either.
class CommandDelivery : public QObject
{
    Q_OBJECT

public:
    using Done = DeliveryDone;

    CommandDelivery(const QString &portName, qint32 baudRate, QObject *parent = nullptr);
    ~CommandDelivery() override;

    // Finds the owner or takes the port now, so that a port nobody can use
    // is reported at once; false, with the reason, when neither works.
    bool start(QString *error);
    // "through the console that holds /dev/ttyUSB0", "holding /dev/ttyUSB0".
    QString route() const;

    void deliver(const PlayerCommand &command, Done done);
    int queued() const { return int(m_queue.size()); }

    // How the port stands, for whoever reports it (a fleet's state): held by
    // this program, reached through the program that holds it, lost (the
    // line failed) or waiting (it could not be reached at the last try). The
    // last two are tried again at the next command.
    enum class Link { Open, ThroughOwner, Lost, Waiting };
    Link link() const { return m_link; }

signals:
    void linkChanged();

private:
    struct Item
    {
        PlayerCommand command;
        Done done;
    };

    bool connect(QString *error);
    void pump();
    void finish(const SendOutcome &outcome);
    void sendThroughOwner(const PlayerCommand &command);
    void sendOnLine(const PlayerCommand &command);
    void sendToDeviceServer();
    void ownerAnswered();
    void ownerLeft();
    bool ownerStillThere();
    void lineWritten();
    void lost(const QString &reason);
    void letGo();
    void setLink(Link link);

    QString m_portName;
    qint32 m_baudRate;
    QQueue<Item> m_queue;
    bool m_busy = false;
    CommandFrame m_expected; // the frame the owner's reply must name
    QTimer m_timeout;
    std::unique_ptr<QLocalSocket> m_owner;
    QElapsedTimer m_ownerIdle; // the owner drops connections that stay quiet
    std::unique_ptr<QIODevice> m_line;
    std::unique_ptr<PortEndpoint> m_endpoint;
    Link m_link = Link::Waiting;
};
