#pragma once

#include <QString>
#include <QtGlobal>

// The few system calls on a socket descriptor that the streams of this
// folder make themselves, where Qt's sockets cannot do what is needed (end
// only our side of a connection, read the other side's end, tell a reset
// from an orderly close, see what the peer's stack acknowledged), written
// once for Unix and Windows.
namespace SocketCalls {

// Once per process on Windows; nothing elsewhere.
void startSockets();
int lastError();
bool wouldBlock(int error);
bool connectPending(int error);
// After the connection was made: the peer's reset, in whichever form the
// call that meets it reports it.
bool isReset(int error);
QString errorText(int error);
// "the peer reset the connection" for a reset, else the system's words.
QString failureText(int error, const QString &peer);

bool makeNonBlocking(qintptr socket);
// The error the connection holds (SO_ERROR), 0 when none.
int pendingError(qintptr socket);
// -1 with the error in lastError(); 0 at the end of the peer's sending.
qint64 receive(qintptr socket, char *data, qint64 size);
qint64 send(qintptr socket, const char *data, qint64 size);
// Whether the peer's end of sending is the next thing to read (nothing is
// taken from the stream).
bool peerEnded(qintptr socket);
// Ends our sending; the peer reads the end after what was sent.
bool endSending(qintptr socket);
// Closes the descriptor; `reset` discards what the system still holds for
// the peer and tells it so, instead of an orderly end.
void close(qintptr socket, bool reset);

} // namespace SocketCalls
