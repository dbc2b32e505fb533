#include "link/socketcalls.h"

#include <cstring>

#if defined(Q_OS_WIN)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace SocketCalls {

#if defined(Q_OS_WIN)
void startSockets()
{
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    Q_UNUSED(started);
}
int lastError()
{
    return WSAGetLastError();
}
bool wouldBlock(int error)
{
    return error == WSAEWOULDBLOCK;
}
bool connectPending(int error)
{
    return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS;
}
bool isReset(int error)
{
    return error == WSAECONNRESET || error == WSAECONNABORTED || error == WSAENOTCONN;
}
QString errorText(int error)
{
    return QStringLiteral("system error %1").arg(error);
}
bool makeNonBlocking(qintptr socket)
{
    u_long on = 1;
    return ::ioctlsocket(SOCKET(socket), FIONBIO, &on) == 0;
}
qint64 receive(qintptr socket, char *data, qint64 size)
{
    return ::recv(SOCKET(socket), data, int(size), 0);
}
qint64 send(qintptr socket, const char *data, qint64 size)
{
    return ::send(SOCKET(socket), data, int(size), 0);
}
bool endSending(qintptr socket)
{
    return ::shutdown(SOCKET(socket), SD_SEND) == 0;
}
static void closeDescriptor(qintptr socket)
{
    ::closesocket(SOCKET(socket));
}
#else
void startSockets()
{
}
int lastError()
{
    return errno;
}
bool wouldBlock(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK;
}
bool connectPending(int error)
{
    return error == EINPROGRESS;
}
bool isReset(int error)
{
    return error == ECONNRESET || error == EPIPE || error == ENOTCONN;
}
QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}
bool makeNonBlocking(qintptr socket)
{
    const int flags = ::fcntl(int(socket), F_GETFL);
    return flags >= 0 && ::fcntl(int(socket), F_SETFL, flags | O_NONBLOCK) == 0
           && ::fcntl(int(socket), F_SETFD, FD_CLOEXEC) == 0;
}
qint64 receive(qintptr socket, char *data, qint64 size)
{
    for (;;) {
        const ssize_t got = ::recv(int(socket), data, size_t(size), 0);
        if (got >= 0 || errno != EINTR)
            return got;
    }
}
qint64 send(qintptr socket, const char *data, qint64 size)
{
    // A reset is an answer here, not a reason to die.
    for (;;) {
        const ssize_t sent = ::send(int(socket), data, size_t(size), MSG_NOSIGNAL);
        if (sent >= 0 || errno != EINTR)
            return sent;
    }
}
bool endSending(qintptr socket)
{
    return ::shutdown(int(socket), SHUT_WR) == 0;
}
static void closeDescriptor(qintptr socket)
{
    ::close(int(socket));
}
#endif

bool peerEnded(qintptr socket)
{
    char byte = 0;
#if defined(Q_OS_WIN)
    return ::recv(SOCKET(socket), &byte, 1, MSG_PEEK) == 0;
#else
    return ::recv(int(socket), &byte, 1, MSG_PEEK) == 0;
#endif
}

QString failureText(int error, const QString &peer)
{
    return isReset(error) ? QStringLiteral("%1 reset the connection").arg(peer) : errorText(error);
}

int pendingError(qintptr socket)
{
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &size) != 0)
        return lastError();
    return error;
}

void close(qintptr socket, bool reset)
{
    if (reset) {
        linger abort{};
        abort.l_onoff = 1;
        abort.l_linger = 0;
        ::setsockopt(socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&abort), sizeof abort);
    }
    closeDescriptor(socket);
}

} // namespace SocketCalls
