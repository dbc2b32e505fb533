#include "link/lineflow.h"

#if defined(Q_OS_UNIX)
#include <cerrno>
#include <poll.h>
#endif

namespace {

#if defined(Q_OS_UNIX)
short pollNow(const QSerialPort &port, short events)
{
    pollfd descriptor{int(port.handle()), events, 0};
    if (descriptor.fd < 0)
        return POLLNVAL;
    return ::poll(&descriptor, 1, 0) < 0 ? short(POLLERR) : descriptor.revents;
}
#endif

} // namespace

bool portErrorMeansLost([[maybe_unused]] QSerialPort &port, QSerialPort::SerialPortError error)
{
    if (error != QSerialPort::ResourceError)
        return false;
#if defined(Q_OS_UNIX)
    // The library keeps only the system's words for the cause; EIO, ENXIO
    // and EBADF, which it reports the same way, are a device gone.
    const bool wouldBlock = port.errorString() == qt_error_string(EAGAIN);
    const bool hungUp = (pollNow(port, POLLOUT) & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    if (wouldBlock && !hungUp) {
        // The error must not linger for the next caller to misread.
        port.clearError();
        return false;
    }
#endif
    return true;
}

bool portHungUp([[maybe_unused]] const QSerialPort &port)
{
#if defined(Q_OS_UNIX)
    return (pollNow(port, POLLOUT) & (POLLHUP | POLLERR | POLLNVAL)) != 0;
#else
    return false;
#endif
}

bool portHasRoom(const QSerialPort &port)
{
    if (port.bytesToWrite() > 0)
        return false;
#if defined(Q_OS_UNIX)
    return pollNow(port, POLLOUT) == POLLOUT;
#else
    return true;
#endif
}
