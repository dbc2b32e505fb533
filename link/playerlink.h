#pragma once

#include "link/linkroute.h"

#include <QObject>
#include <QString>

#include <memory>

class CommandIntake;
class PortEndpoint;
class QSerialPort;

// The one link to the player, whichever way it goes, written once for the
// console, the bridge and tunaris-send:
// - a serial device server's raw TCP stream (tcp://HOST:NUMBER), on a
//   connection of its own for the commands of one turn (DeviceServerLink);
// - else the program that holds the port, when one serves the port's
//   endpoint (OwnerLink): a port has one owner, and a console that holds it
//   keeps it;
// - else the port itself (LineWriter), which this program then holds, and
//   whose endpoint it serves for others when it is given an intake.
// An endpoint that is not the user's own (portendpoint.h) is refused, and
// then the port is not opened either: whoever made it may be waiting for
// the commands, and the port may be another program's.
//
// When the way fails (the owner left, the line was lost), the next command
// looks for it again, unless the link was made to be opened only by hand
// (the console's Open button).
class PlayerLink : public LinkRoute
{
    Q_OBJECT

public:
    // The link as the last command, or the opening, left it: for people who
    // watch it from afar. Nothing is opened to find out.
    struct State
    {
        enum class Kind {
            Waiting, // nobody holds the port for us: the next command looks for its owner or opens it
            Open,    // this program holds the port (or reaches its device server)
            Owner,   // the program that holds the port takes the commands
            Lost,    // the last attempt failed, for `reason`
        };
        Kind kind = Kind::Waiting;
        QString reason;
        // "open", "held by the console", "lost" or "waiting": the one way the
        // link is named to other programs (a fleet's state, the pages).
        QString word() const;
        bool operator==(const State &other) const { return kind == other.kind && reason == other.reason; }
        bool operator!=(const State &other) const { return !(*this == other); }
    };

    struct Options
    {
        qint32 baudRate = 115200;
        // The port this program opens, which it does not own (the console's
        // program-wide port); none: the link makes its own.
        QSerialPort *port = nullptr;
        // Commands that may go to the owner at once (ownerlink.h).
        int ownerWindow = 1;
        // Look for the way again at the next command after it failed.
        bool reopenByItself = true;
        // An endpoint that is not the user's own keeps the port closed too;
        // an operator who asks for the port by hand gets it all the same.
        bool refuseBesideForeignEndpoint = true;
    };

    PlayerLink(const QString &portName, const Options &options, QObject *parent = nullptr);
    ~PlayerLink() override;

    // Other programs' commands for the port, while this program holds it,
    // go to this intake through the port's endpoint.
    void serveEndpoint(CommandIntake *intake) { m_endpointIntake = intake; }

    // Finds the owner, or opens the port (or reaches the device server), now:
    // false, with the reason, when neither works.
    bool open(QString *error);
    // Lets go of whatever way there is; the port closes if this link opened it.
    void close();
    // Another port or rate, for the next opening; only while closed.
    void retarget(const QString &portName, qint32 baudRate);
    bool isOpen() const { return m_route != nullptr; }
    // The way that failed last went through the port's owner, which may have
    // let go of the port.
    bool failedThroughOwner() const { return m_failedThroughOwner; }
    // "tunaris-bridge, process 1234": the program that holds the port, when
    // the link goes through it and the system tells.
    QString ownerName() const { return m_ownerName; }
    bool holdsPort() const;
    bool throughOwner() const;

    // The way as the intake (commandintake.h) uses it; without a way, a
    // command is taken to look for one, or to be refused.
    int room() override;
    void awaitRoom() override;
    void send(const CommandFrame &frame, const QString &words, DeliveryDone done) override;
    void flush() override;

    State state() const;
    QString portName() const { return m_portName; }
    // "through the program that holds /dev/ttyUSB0", "holding /dev/ttyUSB0".
    QString route() const;
    // Why other programs cannot reach the port through this program while it
    // holds it; empty when they can, or when it does not hold it.
    QString endpointProblem() const;
    // Waits until what went to the port has left for the line.
    void drain();

signals:
    // The state changed; a burst of changes is told once, from the event loop.
    // (failed() tells that the way failed while in use: the line was lost,
    // the owner left.)
    void stateChanged();

private:
    void letGo();
    void routeFailed(const QString &reason);
    void noteState();

    QString m_portName;
    Options m_options;
    std::unique_ptr<QSerialPort> m_ownPort;
    QSerialPort *m_port = nullptr; // open by this link, when it holds the port
    LinkRoute *m_route = nullptr;
    bool m_viaOwner = false;
    bool m_probed = false; // the device server, at the first opening
    bool m_failedThroughOwner = false;
    QString m_ownerName;
    std::unique_ptr<PortEndpoint> m_endpoint;
    CommandIntake *m_endpointIntake = nullptr;
    QString m_problem; // why the last attempt failed; empty once one worked
    State m_toldState;
    bool m_stateNoted = false;
};
