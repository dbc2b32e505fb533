#include "link/bytestream.h"
#include "link/socketcalls.h"

#include <QLocalSocket>
#include <QSocketNotifier>
#include <QTimer>

#include <utility>

namespace {

// Once our side has ended, a client that never ends its own is let go of
// after this.
constexpr int lingerMs = 5000;
constexpr qint64 readChunk = 16 * 1024;

class SocketStream final : public ByteStream
{
public:
    SocketStream(qintptr descriptor, const QString &peer)
        : m_socket(descriptor)
        , m_peer(peer)
        , m_reads(descriptor, QSocketNotifier::Read)
        , m_writes(descriptor, QSocketNotifier::Write)
    {
        SocketCalls::makeNonBlocking(descriptor);
        m_writes.setEnabled(false);
        // Off while the bytes that woke it are not read: the reader decides
        // when it wants more, and a client that sends faster waits.
        connect(&m_reads, &QSocketNotifier::activated, this, [this] {
            m_reads.setEnabled(false);
            emit readable();
        });
        connect(&m_writes, &QSocketNotifier::activated, this, &SocketStream::sendSome);
        m_linger.setSingleShot(true);
        connect(&m_linger, &QTimer::timeout, this, [this] { end(false); });
    }

    ~SocketStream() override { end(true); }

    QByteArray read(qint64 max) override
    {
        if (m_socket < 0 || m_inputEnded)
            return QByteArray();
        QByteArray bytes(int(qMin(max, readChunk)), Qt::Uninitialized);
        const qint64 got = SocketCalls::receive(m_socket, bytes.data(), bytes.size());
        if (got > 0) {
            bytes.truncate(int(got));
            return bytes;
        }
        if (got == 0) {
            m_inputEnded = true;
            if (m_finishing && m_out.isEmpty())
                end(false);
            return QByteArray();
        }
        const int error = SocketCalls::lastError();
        if (SocketCalls::wouldBlock(error))
            m_reads.setEnabled(true);
        else
            fail();
        return QByteArray();
    }

    bool inputEnded() const override { return m_inputEnded || m_socket < 0; }

    // What is written within one turn of the event loop goes out in one
    // call at its end: a client that sent many lines gets their answers
    // together rather than a system call each.
    void write(const QByteArray &bytes) override
    {
        if (m_socket < 0 || m_finishing)
            return;
        m_out += bytes;
        if (!std::exchange(m_sendQueued, true))
            QMetaObject::invokeMethod(this, &SocketStream::sendQueued, Qt::QueuedConnection);
    }

    qint64 unwritten() const override { return m_out.size(); }

    void finish() override
    {
        if (m_socket < 0)
            return;
        m_finishing = true;
        if (m_out.isEmpty())
            endSending();
        else if (!m_sendQueued)
            sendSome();
    }

    void abort() override { end(true); }

    QString peer() const override { return m_peer; }

private:
    void sendQueued()
    {
        m_sendQueued = false;
        sendSome();
    }

    void sendSome()
    {
        while (!m_out.isEmpty() && m_socket >= 0) {
            const qint64 sent = SocketCalls::send(m_socket, m_out.constData(), m_out.size());
            if (sent < 0) {
                if (!SocketCalls::wouldBlock(SocketCalls::lastError()))
                    return fail();
                m_writes.setEnabled(true);
                return;
            }
            m_out.remove(0, int(sent));
            emit written();
        }
        m_writes.setEnabled(false);
        if (m_finishing && m_socket >= 0)
            endSending();
    }

    void endSending()
    {
        SocketCalls::endSending(m_socket);
        if (m_inputEnded)
            return end(false);
        // The client's own end tells that it read everything; wait for it
        // (reading and dropping what it still sends) a while.
        m_reads.setEnabled(true);
        disconnect(&m_reads, nullptr, this, nullptr);
        connect(&m_reads, &QSocketNotifier::activated, this, [this] {
            char dropped[512];
            for (;;) {
                const qint64 got = SocketCalls::receive(m_socket, dropped, sizeof dropped);
                if (got > 0)
                    continue;
                if (got < 0 && SocketCalls::wouldBlock(SocketCalls::lastError()))
                    return;
                return end(false);
            }
        });
        m_linger.start(lingerMs);
    }

    void fail()
    {
        m_out.clear();
        end(true);
    }

    void end(bool reset)
    {
        if (m_socket < 0)
            return;
        m_reads.setEnabled(false);
        m_writes.setEnabled(false);
        m_linger.stop();
        SocketCalls::close(m_socket, reset);
        m_socket = -1;
        m_inputEnded = true;
        // From the event loop: whoever called in here may still use us.
        QTimer::singleShot(0, this, &ByteStream::closed);
    }

    qintptr m_socket;
    QString m_peer;
    QSocketNotifier m_reads;
    QSocketNotifier m_writes;
    QTimer m_linger;
    QByteArray m_out;
    bool m_inputEnded = false;
    bool m_finishing = false;
    bool m_sendQueued = false;
};

#if defined(Q_OS_WIN)
class LocalSocketStream final : public ByteStream
{
public:
    LocalSocketStream(QLocalSocket *socket, const QString &peer)
        : m_socket(socket)
        , m_peer(peer)
    {
        socket->setParent(this);
        socket->setReadBufferSize(readChunk);
        connect(socket, &QLocalSocket::readyRead, this, &ByteStream::readable);
        connect(socket, &QLocalSocket::bytesWritten, this, &ByteStream::written);
        connect(socket, &QLocalSocket::disconnected, this, [this] {
            m_gone = true;
            emit readable();
            QTimer::singleShot(0, this, &ByteStream::closed);
        });
    }

    QByteArray read(qint64 max) override { return m_socket->read(qMin(max, readChunk)); }
    bool inputEnded() const override { return m_gone && m_socket->bytesAvailable() == 0; }
    void write(const QByteArray &bytes) override
    {
        if (!m_gone) {
            m_socket->write(bytes);
            m_socket->flush();
        }
    }
    qint64 unwritten() const override { return m_socket->bytesToWrite(); }
    void finish() override { m_socket->disconnectFromServer(); }
    void abort() override { m_socket->abort(); }
    QString peer() const override { return m_peer; }

private:
    QLocalSocket *m_socket;
    QString m_peer;
    bool m_gone = false;
};
#endif

} // namespace

std::unique_ptr<ByteStream> socketStream(qintptr descriptor, const QString &peer)
{
    return std::make_unique<SocketStream>(descriptor, peer);
}

#if defined(Q_OS_WIN)
std::unique_ptr<ByteStream> localSocketStream(QLocalSocket *socket, const QString &peer)
{
    return std::make_unique<LocalSocketStream>(socket, peer);
}
#endif
