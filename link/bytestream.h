#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>

class QLocalSocket;
class QSocketNotifier;

// One connection of a client that sends commands as lines and reads the
// answers. A client may end its sending side and still read (a
// show-control script that pipes its lines into nc does), so the end of
// what a client sends is not the end of the connection: answers still go
// out until they are all written, and only then does our side end too.
// Qt's sockets close the whole connection at the end of the input, so the
// streams here read and write the descriptor themselves.
class ByteStream : public QObject
{
    Q_OBJECT

public:
    // What arrived and was not read yet, at most `max` bytes; empty when
    // nothing waits now. Reading nothing lets readable() come again when
    // more arrives.
    virtual QByteArray read(qint64 max) = 0;
    // The client sends nothing more: once read() gives nothing, its input
    // is over. Its reading side may still be open.
    virtual bool inputEnded() const = 0;
    // Queued and sent as fast as the client takes it; dropped once the
    // client is gone (closed() has been or will be emitted).
    virtual void write(const QByteArray &bytes) = 0;
    virtual qint64 unwritten() const = 0;
    // Ends our side once everything written has left, and closes the
    // connection when the client has ended its side too (or soon after).
    virtual void finish() = 0;
    // At once, dropping what was not sent.
    virtual void abort() = 0;
    // "127.0.0.1:50122", "process 1234 (tunaris-send)": who is at the
    // other end, for reports.
    virtual QString peer() const = 0;

signals:
    // New bytes, or the end of the input.
    void readable();
    // Part of what was written left.
    void written();
    // Nothing goes either way any more: the stream may be deleted.
    void closed();
};

// A connected socket's descriptor (TCP, or a local socket on Unix), taken
// over: the stream closes it.
std::unique_ptr<ByteStream> socketStream(qintptr descriptor, const QString &peer);

#if defined(Q_OS_WIN)
// A named pipe's connection, which has no half-close: its end is the end.
std::unique_ptr<ByteStream> localSocketStream(QLocalSocket *socket, const QString &peer);
#endif
