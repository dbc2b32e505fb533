#include "link/commanddelivery.h"
#include "command/commandgrammar.h"
#include "command/commandline.h"
#include "link/deviceserver.h"
#include "link/lineflow.h"
#include "link/linesettings.h"
#include "link/portaccess.h"
#include "link/portendpoint.h"
#include "link/portnames.h"

#include <QLocalSocket>
#include <QPointer>
#include <QSerialPort>
#include <QSignalBlocker>

namespace {

// The line has this long to take one frame; an owner answers within its own
// bound.
constexpr int deliveryTimeoutMs = 10000;
constexpr int ownerConnectTimeoutMs = 1000;
// Well inside the time after which an endpoint drops a quiet client.
constexpr int ownerQuietMs = PortEndpoint::IdleTimeoutMs * 2 / 3;
// Commands that arrive while a device server's connection is under way share
// the next one, up to this many.
constexpr int maxDeviceServerBatch = 64;

} // namespace

CommandDelivery::CommandDelivery(const QString &portName, qint32 baudRate, QObject *parent)
    : QObject(parent)
    , m_portName(portName)
    , m_baudRate(baudRate)
{
    m_timeout.setSingleShot(true);
    QObject::connect(&m_timeout, &QTimer::timeout, this, [this] {
        const bool throughOwner = m_owner != nullptr;
        letGo();
        // An owner that took the line may still send it once it wakes up.
        const SendOutcome outcome =
            throughOwner ? SendOutcome::unknown(
                QStringLiteral("the port's owner did not answer within %1 s").arg(PortEndpoint::AnswerWithinMs / 1000))
                         : SendOutcome::notSent(QStringLiteral("the frame did not leave for the line"));
        m_problem = outcome.reason;
        finish(outcome);
    });
}

CommandDelivery::~CommandDelivery() = default;

bool CommandDelivery::start(QString *error)
{
    if (isDeviceServerName(m_portName)) {
        // A server nobody can reach is reported now rather than in every
        // answer.
        const SendOutcome probe = DeviceServerSend::sendNow(m_portName, QByteArray());
        if (probe.kind == SendOutcome::Kind::NotSent)
            *error = m_problem = probe.reason;
        noteLink();
        return probe.kind != SendOutcome::Kind::NotSent;
    }
    return connect(error);
}

CommandDelivery::Link CommandDelivery::link() const
{
    using State = Link::State;
    if (isDeviceServerName(m_portName))
        return m_problem.isEmpty() ? Link{State::Open, QString()} : Link{State::Lost, m_problem};
    if (m_owner)
        return {State::Owner, QString()};
    if (m_line)
        return {State::Open, QString()};
    if (!m_problem.isEmpty())
        return {State::Lost, m_problem};
    return {State::Waiting, QString()};
}

// Told from the event loop: letting go and finding the owner again within
// one command is no change to whoever watches.
void CommandDelivery::noteLink()
{
    if (m_linkNoted)
        return;
    m_linkNoted = true;
    QTimer::singleShot(0, this, [this] {
        m_linkNoted = false;
        if (link() == m_toldLink)
            return;
        m_toldLink = link();
        emit linkChanged();
    });
}

QString CommandDelivery::route() const
{
    if (isDeviceServerName(m_portName))
        return QStringLiteral("on the device server %1").arg(m_portName);
    if (m_owner)
        return QStringLiteral("through the program that holds %1").arg(m_portName);
    if (m_endpoint && !m_endpoint->problem().isEmpty())
        return QStringLiteral("holding %1; other programs cannot reach it through this one: %2")
            .arg(m_portName, m_endpoint->problem());
    if (m_line)
        return QStringLiteral("holding %1").arg(m_portName);
    return QStringLiteral("not connected to %1").arg(m_portName);
}

void CommandDelivery::deliver(const PlayerCommand &command, Done done)
{
    m_queue.enqueue({command, std::move(done)});
    pump();
}

// The owner first: a console that holds the port keeps it, and this program
// goes through it. Otherwise the port (or the device server) itself.
bool CommandDelivery::connect(QString *error)
{
    if (m_owner || m_line)
        return true;
    if (!isDeviceServerName(m_portName)) {
        auto owner = std::make_unique<QLocalSocket>();
        QString refusal;
        switch (connectToOwner(m_portName, *owner, ownerConnectTimeoutMs, &refusal)) {
        case EndpointOwner::Found:
            QObject::connect(owner.get(), &QLocalSocket::readyRead, this, &CommandDelivery::ownerAnswered);
            QObject::connect(owner.get(), &QLocalSocket::disconnected, this, &CommandDelivery::ownerLeft);
            m_owner = std::move(owner);
            m_ownerIdle.start();
            m_problem.clear();
            noteLink();
            return true;
        case EndpointOwner::Refused:
            // Whoever made that folder may be waiting for the commands, and
            // the port itself may be the console's: neither way is safe.
            *error = m_problem = refusal;
            noteLink();
            return false;
        case EndpointOwner::None:
            break;
        }
    }
    m_line = openLine(m_portName, m_baudRate, SendOpenMode, error);
    noteLink();
    if (!m_line) {
        m_problem = *error;
        return false;
    }
    m_problem.clear();
    QObject::connect(m_line.get(), &QIODevice::bytesWritten, this, &CommandDelivery::lineWritten);
    if (auto *port = qobject_cast<QSerialPort *>(m_line.get())) {
        // A full line is only its pace: the port keeps the frame and writes
        // it when there is room, and lineWritten answers then.
        QObject::connect(port, &QSerialPort::errorOccurred, this, [this, port](QSerialPort::SerialPortError failure) {
            if (failure == QSerialPort::WriteError || portErrorMeansLost(*port, failure))
                lost(port->errorString());
        });
        // Nothing from the player is wanted; drop it rather than keep it.
        QObject::connect(port, &QIODevice::readyRead, port, [port] { port->skip(port->bytesAvailable()); });
        // Others reach the player through this program now.
        m_endpoint = std::make_unique<PortEndpoint>(m_portName, port, [port](const PlayerCommand &command) {
            const QByteArray frame = frameBytes(toFrame(command));
            return port->write(frame) == frame.size() ? QString() : port->errorString();
        });
        m_endpoint->listen();
    }
    return true;
}

void CommandDelivery::pump()
{
    if (m_busy || m_queue.isEmpty())
        return;
    if (isDeviceServerName(m_portName)) {
        m_busy = true;
        return sendToDeviceServer();
    }
    if (m_owner && (m_ownerIdle.hasExpired(ownerQuietMs) || !ownerStillThere()))
        letGo();
    m_busy = true;
    QString error;
    if (!connect(&error))
        return finish(SendOutcome::notSent(error));
    if (m_owner)
        sendThroughOwner(m_queue.head().command);
    else
        sendOnLine(m_queue.head().command);
}

void CommandDelivery::finish(const SendOutcome &outcome)
{
    m_timeout.stop();
    const Item item = m_queue.dequeue();
    m_busy = false;
    item.done(outcome);
    // The next one from the event loop, so that a long queue never deepens
    // the stack and other work gets its turn.
    if (!m_queue.isEmpty())
        QTimer::singleShot(0, this, &CommandDelivery::pump);
}

void CommandDelivery::sendThroughOwner(const PlayerCommand &command)
{
    m_expected = toFrame(command);
    m_owner->write(commandWords(command).toLatin1() + '\n');
    m_ownerIdle.start();
    m_timeout.start(PortEndpoint::AnswerWithinMs);
}

void CommandDelivery::ownerAnswered()
{
    if (!m_owner || !m_busy || !m_owner->canReadLine())
        return;
    finish(outcomeOfReply(m_owner->readLine(MaxCommandLineLength + 1), m_expected));
}

// An owner that closes its port answers every line it took, "error" when
// it did not send it; one that leaves without an answer died, maybe after
// sending. Either way the command is never sent again by us.
void CommandDelivery::ownerLeft()
{
    // Let go first: the answer's receiver may hand over the next command at
    // once, and that one must look for a new way.
    const QByteArray answer =
        m_busy && m_owner && m_owner->canReadLine() ? m_owner->readLine(MaxCommandLineLength + 1) : QByteArray();
    letGo();
    if (!m_busy)
        return;
    finish(answer.isEmpty()
               ? SendOutcome::unknown(QStringLiteral("the port's owner closed the connection without answering"))
               : outcomeOfReply(answer, m_expected));
}

// Whether the owner is still there to take a command: one that went away
// meanwhile is let go before a line is written to it, not after. Anything
// it said unasked leaves it unclear what an answer would belong to.
bool CommandDelivery::ownerStillThere()
{
    const QSignalBlocker quiet(m_owner.get());
    m_owner->waitForReadyRead(0);
    return m_owner->state() == QLocalSocket::ConnectedState && m_owner->bytesAvailable() == 0;
}

// The commands waiting now go on one connection of their own, whose orderly
// close is the server's word that it took them all (deviceserver.h); a
// connection kept open could only ever say that our system took them. One
// outcome answers them all: a failure cannot be pinned on one frame.
void CommandDelivery::sendToDeviceServer()
{
    QList<Item> batch;
    QByteArray bytes;
    while (!m_queue.isEmpty() && batch.size() < maxDeviceServerBatch) {
        batch << m_queue.dequeue();
        bytes += frameBytes(toFrame(batch.last().command));
    }
    // The outcome always comes from the event loop, so the pointer is set.
    auto delivery = std::make_shared<QPointer<DeviceServerSend>>();
    *delivery = new DeviceServerSend(
        m_portName, bytes,
        [this, delivery, batch](const SendOutcome &outcome) {
            (*delivery)->deleteLater();
            m_busy = false;
            m_problem = outcome.isSent() ? QString() : outcome.reason;
            noteLink();
            for (const Item &item : batch)
                item.done(outcome);
            if (!m_queue.isEmpty())
                QTimer::singleShot(0, this, &CommandDelivery::pump);
        },
        this);
}

void CommandDelivery::sendOnLine(const PlayerCommand &command)
{
    const QByteArray frame = frameBytes(toFrame(command));
    if (m_line->write(frame) != frame.size())
        return lost(m_line->errorString());
    if (auto *port = qobject_cast<QSerialPort *>(m_line.get()))
        port->flush();
    if (!m_line)
        return; // the line failed on the way and said so
    if (m_line->bytesToWrite() == 0)
        return finish(SendOutcome::sent());
    m_timeout.start(deliveryTimeoutMs);
}

void CommandDelivery::lineWritten()
{
    if (m_busy && m_line && m_timeout.isActive() && m_line->bytesToWrite() == 0)
        finish(SendOutcome::sent());
}

void CommandDelivery::lost(const QString &reason)
{
    const bool sending = m_busy;
    letGo();
    m_problem = reason;
    if (sending)
        finish(SendOutcome::notSent(QStringLiteral("not sent: %1").arg(reason)));
}

// Lets go of the owner or the line, after a failure: the next command looks
// for the owner again.
void CommandDelivery::letGo()
{
    noteLink();
    if (m_owner) {
        m_owner->disconnect(this);
        m_owner.release()->deleteLater();
    }
    m_endpoint.reset();
    if (m_line) {
        m_line->disconnect(this);
        m_line.release()->deleteLater();
    }
}
