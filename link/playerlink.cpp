#include "link/playerlink.h"
#include "link/deviceserver.h"
#include "link/linesettings.h"
#include "link/linewriter.h"
#include "link/ownerlink.h"
#include "link/portaccess.h"
#include "link/portendpoint.h"
#include "link/portnames.h"

#include <QLocalSocket>
#include <QSerialPort>
#include <QTimer>

namespace {

constexpr int ownerConnectTimeoutMs = 1000;

} // namespace

PlayerLink::PlayerLink(const QString &portName, const Options &options, QObject *parent)
    : m_portName(portName)
    , m_options(options)
{
    setParent(parent);
}

PlayerLink::~PlayerLink()
{
    letGo();
}

bool PlayerLink::open(QString *error)
{
    if (m_route)
        return true;
    noteState();
    if (isDeviceServerName(m_portName)) {
        // A server nobody can reach is reported at the first opening rather
        // than in every answer; later, each delivery's own connection tells.
        if (!std::exchange(m_probed, true)) {
            const SendOutcome probe = DeviceServerSend::sendNow(m_portName, QByteArray());
            if (probe.kind == SendOutcome::Kind::NotSent) {
                *error = m_problem = probe.reason;
                return false;
            }
        }
        m_route = new DeviceServerLink(m_portName, this);
    } else {
        auto owner = std::make_unique<QLocalSocket>();
        QString refusal;
        switch (connectToOwner(m_portName, *owner, ownerConnectTimeoutMs, &refusal)) {
        case EndpointOwner::Found:
            m_ownerName = endpointPeerName(owner->socketDescriptor());
            m_route = new OwnerLink(std::move(owner), m_options.ownerWindow, this);
            m_viaOwner = true;
            break;
        case EndpointOwner::Refused:
            if (m_options.refuseBesideForeignEndpoint) {
                *error = m_problem = refusal;
                return false;
            }
            break;
        case EndpointOwner::None:
            break;
        }
    }
    if (!m_route) {
        QSerialPort *port = m_options.port;
        if (!port) {
            m_ownPort = std::make_unique<QSerialPort>();
            port = m_ownPort.get();
        }
        if (!openPort(*port, m_portName, m_options.baudRate, SendOpenMode, error)) {
            m_ownPort.reset();
            m_problem = *error;
            return false;
        }
        m_port = port;
        // Nothing from the player is wanted; drop it rather than keep it.
        connect(port, &QIODevice::readyRead, this, [port] { port->skip(port->bytesAvailable()); });
        m_route = new LineWriter(port, this);
        if (m_endpointIntake) {
            // Others reach the player through this program now; without the
            // endpoint the link still works, and route() says why not.
            m_endpoint = std::make_unique<PortEndpoint>(m_portName, m_endpointIntake);
            m_endpoint->listen();
        }
    }
    m_problem.clear();
    connect(m_route, &LinkRoute::roomChanged, this, &PlayerLink::roomChanged);
    connect(m_route, &LinkRoute::failed, this, &PlayerLink::routeFailed);
    emit roomChanged();
    return true;
}

void PlayerLink::retarget(const QString &portName, qint32 baudRate)
{
    if (m_route)
        return;
    m_portName = portName;
    m_options.baudRate = baudRate;
    m_probed = false;
}

void PlayerLink::close()
{
    letGo();
    emit roomChanged();
}

bool PlayerLink::holdsPort() const
{
    return m_port != nullptr;
}

bool PlayerLink::throughOwner() const
{
    return m_route && m_viaOwner;
}

int PlayerLink::room()
{
    // Without a way, a command is taken to look for one, or to be refused.
    return m_route ? m_route->room() : 1;
}

void PlayerLink::awaitRoom()
{
    if (m_route)
        m_route->awaitRoom();
}

void PlayerLink::send(const CommandFrame &frame, const QString &words, DeliveryDone done)
{
    // An owner that went away meanwhile is let go of before a line is
    // written to it, and the owner looked for again.
    if (m_viaOwner && m_route && !static_cast<OwnerLink *>(m_route)->usable())
        letGo();
    if (!m_route) {
        if (!m_options.reopenByItself)
            return done(SendOutcome::notSent(QStringLiteral("not sent: the port closed")));
        QString error;
        if (!open(&error))
            return done(SendOutcome::notSent(error));
    }
    m_route->send(frame, words, std::move(done));
}

void PlayerLink::flush()
{
    if (m_route)
        m_route->flush();
}

// The route has answered what it had taken; the next command looks again.
void PlayerLink::routeFailed(const QString &reason)
{
    // From the event loop: the route is still inside its own call.
    QTimer::singleShot(0, this, [this, reason] {
        m_failedThroughOwner = m_viaOwner;
        letGo();
        m_problem = reason;
        emit failed(reason);
        emit roomChanged();
    });
}

void PlayerLink::letGo()
{
    noteState();
    if (m_endpoint) {
        m_endpoint->shutDown();
        m_endpoint.release()->deleteLater();
    }
    if (m_route) {
        m_route->disconnect(this);
        LinkRoute *route = std::exchange(m_route, nullptr);
        // The owner's way may be let go of from inside its own answer (one
        // found gone when the next command comes): it goes from the event
        // loop, answering then what it still holds. The port's writer goes
        // now, before the port it writes to.
        if (m_viaOwner)
            route->deleteLater();
        else
            delete route;
    }
    m_viaOwner = false;
    if (m_port) {
        m_port->disconnect(this);
        // Hand the last frame to the system before closing, which would
        // discard it.
        if (m_port->isOpen() && m_port->bytesToWrite() > 0)
            m_port->waitForBytesWritten(LineWriter::HandOverWithinMs);
        m_port->close();
        m_port = nullptr;
    }
    m_ownPort.reset();
}

QString PlayerLink::State::word() const
{
    switch (kind) {
    case Kind::Open:
        return QStringLiteral("open");
    case Kind::Owner:
        return QStringLiteral("held by the console");
    case Kind::Lost:
        return QStringLiteral("lost");
    case Kind::Waiting:
        break;
    }
    return QStringLiteral("waiting");
}

PlayerLink::State PlayerLink::state() const
{
    using Kind = State::Kind;
    if (m_route && isDeviceServerName(m_portName))
        return {Kind::Open, QString()};
    if (m_viaOwner && m_route)
        return {Kind::Owner, QString()};
    if (m_route)
        return {Kind::Open, QString()};
    if (!m_problem.isEmpty())
        return {Kind::Lost, m_problem};
    return {Kind::Waiting, QString()};
}

// Told from the event loop: letting go and finding the owner again within
// one command is no change to whoever watches.
void PlayerLink::noteState()
{
    if (std::exchange(m_stateNoted, true))
        return;
    QTimer::singleShot(0, this, [this] {
        m_stateNoted = false;
        if (state() == m_toldState)
            return;
        m_toldState = state();
        emit stateChanged();
    });
}

QString PlayerLink::route() const
{
    if (isDeviceServerName(m_portName))
        return QStringLiteral("on the device server %1").arg(m_portName);
    if (throughOwner())
        return QStringLiteral("through the program that holds %1").arg(m_portName);
    if (m_port && !endpointProblem().isEmpty())
        return QStringLiteral("holding %1; other programs cannot reach it through this one: %2")
            .arg(m_portName, endpointProblem());
    if (m_port)
        return QStringLiteral("holding %1").arg(m_portName);
    return QStringLiteral("not connected to %1").arg(m_portName);
}

QString PlayerLink::endpointProblem() const
{
    return m_endpoint ? m_endpoint->problem() : QString();
}

void PlayerLink::drain()
{
    if (auto *writer = qobject_cast<LineWriter *>(m_route))
        writer->drain();
}
