#include "link/windowspipe.h"
#include "link/windowsaccount.h"

#include <windows.h>

#include <sddl.h>

namespace {

QString pipePath(const QString &name)
{
    return QLatin1String("\\\\.\\pipe\\") + name;
}

} // namespace

PipeClaim::PipeClaim(const QString &name)
{
    const QString path = pipePath(name);
    const QString self = thisAccountSid();
    if (self.isEmpty()) {
        m_refusal = QStringLiteral("cannot serve %1: this program's account cannot be told").arg(path);
        return;
    }
    // The same kind of pipe as QLocalServer's instances, which it lets in.
    const QString access = QStringLiteral("O:%1D:P(A;;FA;;;%1)").arg(self);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(reinterpret_cast<const wchar_t *>(access.utf16()),
                                                              SDDL_REVISION_1, &descriptor, nullptr)) {
        m_refusal = QStringLiteral("cannot serve %1: %2").arg(path, qt_error_string(int(GetLastError())));
        return;
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    HANDLE pipe = CreateNamedPipeW(reinterpret_cast<const wchar_t *>(path.utf16()),
                                   PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                   PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES, 0, 0,
                                   3000, &attributes);
    const DWORD error = GetLastError();
    LocalFree(descriptor);
    if (pipe == INVALID_HANDLE_VALUE) {
        m_refusal = error == ERROR_ACCESS_DENIED
                        ? QStringLiteral("%1 is already served by another program").arg(path)
                        : QStringLiteral("cannot serve %1: %2").arg(path, qt_error_string(int(error)));
        return;
    }
    m_handle = pipe;
}

PipeClaim::~PipeClaim()
{
    // A client that came in on this instance meanwhile loses its connection
    // before an answer, which it reports as an unknown outcome.
    if (m_handle)
        CloseHandle(m_handle);
}

QString pipeServerOfAnotherAccount(qintptr pipe)
{
    ULONG process = 0;
    if (!GetNamedPipeServerProcessId(reinterpret_cast<HANDLE>(pipe), &process))
        return QStringLiteral("a program that cannot be told (%1)").arg(qt_error_string(int(GetLastError())));
    if (process == GetCurrentProcessId())
        return QString();
    QString why;
    const QString account = processAccountSid(process, &why);
    if (account.isEmpty())
        return QStringLiteral("process %1, whose account cannot be told (%2)").arg(process).arg(why);
    if (account == thisAccountSid())
        return QString();
    return QStringLiteral("process %1 (%2)").arg(process).arg(accountName(account));
}
