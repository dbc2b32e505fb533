#include "link/linewriter.h"
#include "link/lineflow.h"

#if defined(Q_OS_UNIX)
#include <termios.h>
#elif defined(Q_OS_WIN)
#include <windows.h>
#endif

namespace {

// While a command waits, the line is looked at this often: about one
// frame's time at 9600 baud. Nothing is looked at while nothing waits.
constexpr int roomCheckMs = 4;

} // namespace

LineWriter::LineWriter(QSerialPort *port, QObject *parent)
    : m_port(port)
{
    setParent(parent);
    m_handOver.setSingleShot(true);
    connect(&m_handOver, &QTimer::timeout, this, [this] {
        if (m_leaving)
            std::exchange(m_leaving, nullptr)(SendOutcome::unknown(
                QStringLiteral("the frame was still leaving for the line after %1 s").arg(HandOverWithinMs / 1000)));
        emit roomChanged();
    });
    m_roomCheck.setInterval(roomCheckMs);
    connect(&m_roomCheck, &QTimer::timeout, this, [this] {
        if (room() > 0) {
            m_roomCheck.stop();
            emit roomChanged();
        }
    });
    connect(port, &QSerialPort::bytesWritten, this, &LineWriter::written);
    connect(port, &QSerialPort::errorOccurred, this, &LineWriter::portFailed);
    connect(port, &QIODevice::aboutToClose, this, [this] { settle(true); });
}

LineWriter::~LineWriter()
{
    m_port->disconnect(this);
    settle(true);
}

int LineWriter::room()
{
    if (m_leaving || m_failed || !m_port->isOpen())
        return 0;
    if (portHasRoom(*m_port))
        return 1;
    // A line with no room may be a device that went away: that never drains.
    if (portHungUp(*m_port)) {
        m_failed = true;
        m_roomCheck.stop();
        QMetaObject::invokeMethod(
            this, [this] { emit failed(QStringLiteral("the device hung up")); }, Qt::QueuedConnection);
    }
    return 0;
}

void LineWriter::awaitRoom()
{
    if (!m_roomCheck.isActive() && !m_failed)
        m_roomCheck.start();
}

void LineWriter::send(const CommandFrame &command, const QString &, DeliveryDone done)
{
    const QByteArray frame = frameBytes(command);
    if (!m_port->isOpen())
        return done(SendOutcome::notSent(QStringLiteral("not sent: the port closed")));
    if (m_port->write(frame) != frame.size())
        return done(SendOutcome::notSent(QStringLiteral("not sent: %1").arg(m_port->errorString())));
    // Hand the frame to the system now instead of on the next turn of the
    // event loop.
    m_port->flush();
    if (m_failed || !m_port->isOpen()) {
        // The line failed on the way; the port said how much was left.
        m_leaving = std::move(done);
        m_leavingBytes = frame.size();
        return settle(true);
    }
    if (m_port->bytesToWrite() == 0)
        return done(SendOutcome::sent());
    m_leaving = std::move(done);
    m_leavingBytes = frame.size();
    m_handOver.start(HandOverWithinMs);
}

void LineWriter::written()
{
    if (m_port->bytesToWrite() > 0)
        return;
    m_handOver.stop();
    if (m_leaving)
        std::exchange(m_leaving, nullptr)(SendOutcome::sent());
    emit roomChanged();
}

// The port closes or failed while a frame was leaving: what it still holds
// tells whether any of it went.
void LineWriter::settle(bool closing)
{
    if (!m_leaving)
        return;
    m_handOver.stop();
    const qint64 left = m_port->bytesToWrite();
    const DeliveryDone done = std::exchange(m_leaving, nullptr);
    const QString why = closing ? QStringLiteral("the port closed") : m_port->errorString();
    if (left == 0)
        done(SendOutcome::sent());
    else if (left >= m_leavingBytes)
        done(SendOutcome::notSent(QStringLiteral("not sent: %1").arg(why)));
    else
        done(SendOutcome::unknown(QStringLiteral("%1 while the frame was leaving").arg(why)));
}

void LineWriter::portFailed(QSerialPort::SerialPortError error)
{
    if (error == QSerialPort::NoError || m_failed || !m_port->isOpen())
        return;
    if (error != QSerialPort::WriteError && !portErrorMeansLost(*m_port, error))
        return;
    m_failed = true;
    m_roomCheck.stop();
    const QString reason = m_port->errorString();
    settle(false);
    emit failed(reason);
}

void LineWriter::drain()
{
    if (!m_port->isOpen())
        return;
    if (m_port->bytesToWrite() > 0)
        m_port->waitForBytesWritten(HandOverWithinMs);
#if defined(Q_OS_UNIX)
    ::tcdrain(m_port->handle());
#elif defined(Q_OS_WIN)
    ::FlushFileBuffers(m_port->handle());
#endif
}
