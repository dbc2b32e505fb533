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
        // What the port still holds may leave later, in part: unknown.
        const qint64 handed = m_queued - m_port->bytesToWrite();
        for (Leaving &frame : std::exchange(m_leaving, {})) {
            frame.done(frame.end <= handed
                           ? SendOutcome::sent()
                           : SendOutcome::unknown(QStringLiteral("the frame was still leaving for the line after %1 s")
                                                      .arg(HandOverWithinMs / 1000)));
        }
        m_queued = m_port->bytesToWrite();
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
    flush();
    settle(true);
}

// A run is filled within one turn of the event loop and written by flush();
// the next waits until the port has handed all of it to the system.
int LineWriter::room()
{
    if (!m_leaving.isEmpty() || m_failed || !m_port->isOpen())
        return 0;
    if (!m_run.isEmpty())
        return int(MaxRun - m_run.size() / 4);
    if (portHasRoom(*m_port))
        return MaxRun;
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

void LineWriter::send(const CommandFrame &frame, const QString &, DeliveryDone done)
{
    if (!m_port->isOpen())
        return done(SendOutcome::notSent(QStringLiteral("not sent: the port closed")));
    m_run += frameBytes(frame);
    m_leaving.enqueue({m_queued + m_run.size(), std::move(done)});
}

void LineWriter::flush()
{
    if (m_run.isEmpty())
        return;
    const QByteArray run = std::exchange(m_run, {});
    const qint64 before = m_queued;
    const qint64 taken = m_port->write(run);
    if (taken != run.size()) {
        // Nothing of the run went: none of it ever will.
        const QString why = m_port->errorString();
        QQueue<Leaving> refused;
        while (!m_leaving.isEmpty() && m_leaving.last().end > before)
            refused.prepend(m_leaving.takeLast());
        for (Leaving &frame : refused)
            frame.done(SendOutcome::notSent(QStringLiteral("not sent: %1").arg(why)));
        return;
    }
    m_queued += run.size();
    // Hand the frames to the system now instead of on the next turn of the
    // event loop.
    m_port->flush();
    if (m_failed || !m_port->isOpen())
        return settle(true); // the line failed on the way; the port says how much was left
    written();
    if (!m_leaving.isEmpty())
        m_handOver.start(HandOverWithinMs);
}

// The frames whose every byte the port has handed to the system are sent.
void LineWriter::written()
{
    const qint64 handed = m_queued - m_port->bytesToWrite();
    while (!m_leaving.isEmpty() && m_leaving.head().end <= handed)
        m_leaving.dequeue().done(SendOutcome::sent());
    if (m_leaving.isEmpty()) {
        m_handOver.stop();
        emit roomChanged();
    }
}

// The port closes or failed while frames were leaving: what it still holds
// tells whether any of each went.
void LineWriter::settle(bool closing)
{
    if (m_leaving.isEmpty())
        return;
    m_handOver.stop();
    const qint64 handed = m_queued - m_port->bytesToWrite();
    const QString why = closing ? QStringLiteral("the port closed") : m_port->errorString();
    qint64 start = m_leaving.head().end - 4;
    for (Leaving &frame : std::exchange(m_leaving, {})) {
        if (frame.end <= handed)
            frame.done(SendOutcome::sent());
        else if (start >= handed)
            frame.done(SendOutcome::notSent(QStringLiteral("not sent: %1").arg(why)));
        else
            frame.done(SendOutcome::unknown(QStringLiteral("%1 while the frame was leaving").arg(why)));
        start = frame.end;
    }
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
