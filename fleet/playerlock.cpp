#include "fleet/playerlock.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#if defined(Q_OS_WIN)
#include <windows.h>
#else
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace {

QByteArray ownerText()
{
    return QStringLiteral("process %1 (%2)\n")
        .arg(QCoreApplication::applicationPid())
        .arg(QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName())
        .toUtf8();
}

// What the holder wrote, read beside its lock.
QString holderOf(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const QByteArray line = file.readLine(256).trimmed();
    return line.startsWith("process ") ? QString::fromUtf8(line) : QString();
}

} // namespace

#if defined(Q_OS_WIN)

PlayerLock::~PlayerLock()
{
    if (m_handle)
        CloseHandle(m_handle);
}

// Open with no one else let write: the system keeps it so until the handle
// is closed, by us or by the end of the process.
bool PlayerLock::lock(const QString &path, QString *holder, QString *error)
{
    const HANDLE handle = CreateFileW(reinterpret_cast<const wchar_t *>(path.utf16()), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (code == ERROR_SHARING_VIOLATION) {
            *holder = holderOf(path);
            return false;
        }
        *error = QStringLiteral("cannot lock %1 (error %2)").arg(path).arg(code);
        return false;
    }
    m_handle = handle;
    const QByteArray owner = ownerText();
    DWORD written = 0;
    SetEndOfFile(handle);
    WriteFile(handle, owner.constData(), DWORD(owner.size()), &written, nullptr);
    FlushFileBuffers(handle);
    return true;
}

#else

PlayerLock::~PlayerLock()
{
    if (m_descriptor >= 0)
        ::close(m_descriptor);
}

// flock: held by this open file, let go of when it is closed, by us or by
// the end of the process; a second open, even in this process, is refused.
bool PlayerLock::lock(const QString &path, QString *holder, QString *error)
{
    const int descriptor = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (descriptor < 0) {
        *error = QStringLiteral("cannot lock %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    if (::flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
        const int code = errno;
        ::close(descriptor);
        if (code == EWOULDBLOCK) {
            *holder = holderOf(path);
            return false;
        }
        *error = QStringLiteral("cannot lock %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(code)));
        return false;
    }
    m_descriptor = descriptor;
    const QByteArray owner = ownerText();
    const bool told = ::ftruncate(descriptor, 0) == 0
                      && ::pwrite(descriptor, owner.constData(), size_t(owner.size()), 0) == ssize_t(owner.size());
    Q_UNUSED(told) // the lock holds without it: only the words for whoever is refused miss it
    return true;
}

#endif
