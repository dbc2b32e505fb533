#include "tests/support/ptypair.h"

#include <QDeadlineTimer>

#include <algorithm>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

PtyPair::PtyPair()
{
    char name[256] = {};
    if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) {
        m_master = m_slave = -1;
        return;
    }
    // Raw on both sides, so the bytes arrive exactly as written.
    termios settings{};
    if (::tcgetattr(m_slave, &settings) == 0) {
        ::cfmakeraw(&settings);
        ::tcsetattr(m_slave, TCSANOW, &settings);
    }
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    // Programs the tests start must not inherit the ends: a child holding a
    // copy of the master would keep the device alive after closeMaster().
    for (const int end : {m_master, m_slave})
        ::fcntl(end, F_SETFD, ::fcntl(end, F_GETFD) | FD_CLOEXEC);
    m_slavePath = QString::fromLocal8Bit(name);
}

PtyPair::~PtyPair()
{
    closeMaster();
    closeSlave();
}

QByteArray PtyPair::read(int count, int timeoutMs)
{
    QByteArray data;
    QDeadlineTimer deadline(timeoutMs);
    while (m_master >= 0 && data.size() < count && !deadline.hasExpired()) {
        pollfd fd{m_master, POLLIN, 0};
        if (::poll(&fd, 1, int(deadline.remainingTime())) <= 0)
            break;
        char buffer[4096];
        // Never more than asked for: what is left stays for the next read.
        const ssize_t got = ::read(m_master, buffer, std::min(sizeof buffer, size_t(count - data.size())));
        if (got > 0)
            data.append(buffer, int(got));
        else if (got < 0 && errno != EAGAIN && errno != EINTR)
            break;
    }
    return data;
}

QByteArray PtyPair::readRest(int quietMs)
{
    QByteArray data;
    for (;;) {
        const QByteArray more = read(4096, quietMs);
        if (more.isEmpty())
            return data;
        data += more;
    }
}

bool PtyPair::write(const QByteArray &bytes)
{
    qsizetype done = 0;
    while (m_master >= 0 && done < bytes.size()) {
        const ssize_t put = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
        if (put > 0)
            done += put;
        else if (put < 0 && errno != EAGAIN && errno != EINTR)
            break;
    }
    return done == bytes.size();
}

void PtyPair::closeMaster()
{
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

void PtyPair::closeSlave()
{
    if (m_slave >= 0)
        ::close(m_slave);
    m_slave = -1;
}
