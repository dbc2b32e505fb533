#include "remote/windowskeyfile.h"
#include "link/windowsaccount.h"

#include <QStringList>

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

namespace {

const QString localSystem = QStringLiteral("S-1-5-18");
const QString administrators = QStringLiteral("S-1-5-32-544");

// Who may see a key in any case: this account, and those who may take
// every file of the machine anyway.
bool isTrusted(const QString &sid)
{
    return sid == thisAccountSid() || sid == localSystem || sid == administrators;
}

QString sidText(PSID sid)
{
    wchar_t *text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text))
        return QString();
    const QString result = QString::fromWCharArray(text);
    LocalFree(text);
    return result;
}

const wchar_t *wide(const QString &text)
{
    return reinterpret_cast<const wchar_t *>(text.utf16());
}

} // namespace

QString keepKeyFilePrivate(const QString &path)
{
    const QString self = thisAccountSid();
    if (self.isEmpty())
        return QStringLiteral("this program's account cannot be told");
    // P: protected, nothing inherited from the folder; FA full access, FR read.
    QString access = QStringLiteral("D:P(A;;FA;;;%1)").arg(self);
    if (isServiceAccount(self))
        access += QStringLiteral("(A;;FR;;;BA)");
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(wide(access), SDDL_REVISION_1, &descriptor, nullptr))
        return qt_error_string(int(GetLastError()));
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL list = nullptr;
    GetSecurityDescriptorDacl(descriptor, &present, &list, &defaulted);
    const QString native = QString(path).replace(QLatin1Char('/'), QLatin1Char('\\'));
    const DWORD error = SetNamedSecurityInfoW(const_cast<wchar_t *>(wide(native)), SE_FILE_OBJECT,
                                              DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                              nullptr, list, nullptr);
    LocalFree(descriptor);
    return error == ERROR_SUCCESS ? QString() : qt_error_string(int(error));
}

QString keyFileExposure(const QString &path)
{
    const QString native = QString(path).replace(QLatin1Char('/'), QLatin1Char('\\'));
    PSID owner = nullptr;
    PACL list = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error =
        GetNamedSecurityInfoW(wide(native), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                              &owner, nullptr, &list, nullptr, &descriptor);
    if (error != ERROR_SUCCESS)
        return QStringLiteral("its access list cannot be read (%1)").arg(qt_error_string(int(error)));
    QString exposure;
    const QString ownerSid = owner ? sidText(owner) : QString();
    if (!isTrusted(ownerSid)) {
        exposure = QStringLiteral("it belongs to %1, not to this account").arg(accountName(ownerSid));
    } else if (!list) {
        exposure = QStringLiteral("it has no access list: everybody may read or change it");
    } else {
        // Reading it, writing it, or changing who may: each gives the key away.
        constexpr ACCESS_MASK revealing = FILE_READ_DATA | FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_READ
                                          | GENERIC_WRITE | GENERIC_ALL | WRITE_DAC | WRITE_OWNER;
        QStringList others;
        for (DWORD i = 0; i < list->AceCount; ++i) {
            void *entry = nullptr;
            if (!GetAce(list, i, &entry))
                continue;
            const auto *header = static_cast<ACE_HEADER *>(entry);
            if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE))
                continue;
            const auto *allowed = static_cast<ACCESS_ALLOWED_ACE *>(entry);
            const QString sid = sidText(const_cast<DWORD *>(&allowed->SidStart));
            if ((allowed->Mask & revealing) && !isTrusted(sid) && !others.contains(accountName(sid)))
                others << accountName(sid);
        }
        if (!others.isEmpty())
            exposure = QStringLiteral("%1 may read or change it").arg(others.join(QLatin1String(", ")));
    }
    LocalFree(descriptor);
    return exposure;
}
