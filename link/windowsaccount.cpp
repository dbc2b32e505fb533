#include "link/windowsaccount.h"

#include <windows.h>

#include <sddl.h>

#include <vector>

namespace {

// The user of a token, as text; empty when the token cannot be read.
QString tokenUser(HANDLE token)
{
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<char> buffer(size);
    if (size == 0 || !GetTokenInformation(token, TokenUser, buffer.data(), size, &size))
        return QString();
    wchar_t *text = nullptr;
    if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER *>(buffer.data())->User.Sid, &text))
        return QString();
    const QString sid = QString::fromWCharArray(text);
    LocalFree(text);
    return sid;
}

} // namespace

QString thisAccountSid()
{
    static const QString sid = [] {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
            return QString();
        const QString user = tokenUser(token);
        CloseHandle(token);
        return user;
    }();
    return sid;
}

QString processAccountSid(quint32 process, QString *why)
{
    HANDLE handle = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process);
    if (!handle) {
        *why = qt_error_string(int(GetLastError()));
        return QString();
    }
    HANDLE token = nullptr;
    QString user;
    if (OpenProcessToken(handle, TOKEN_QUERY, &token)) {
        user = tokenUser(token);
        CloseHandle(token);
    }
    if (user.isEmpty())
        *why = qt_error_string(int(GetLastError()));
    CloseHandle(handle);
    return user;
}

QString accountName(const QString &sid)
{
    PSID binary = nullptr;
    if (!ConvertStringSidToSidW(reinterpret_cast<const wchar_t *>(sid.utf16()), &binary))
        return sid;
    wchar_t name[256];
    wchar_t domain[256];
    DWORD nameSize = 256;
    DWORD domainSize = 256;
    SID_NAME_USE use;
    const bool named = LookupAccountSidW(nullptr, binary, name, &nameSize, domain, &domainSize, &use);
    LocalFree(binary);
    if (!named)
        return sid;
    return domainSize > 0 ? QString::fromWCharArray(domain) + QLatin1Char('\\') + QString::fromWCharArray(name)
                          : QString::fromWCharArray(name);
}

bool isServiceAccount(const QString &sid)
{
    return sid == QLatin1String("S-1-5-18") || sid == QLatin1String("S-1-5-19") || sid == QLatin1String("S-1-5-20")
           || sid.startsWith(QLatin1String("S-1-5-80-"));
}
