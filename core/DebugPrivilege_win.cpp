// Raises SeDebugPrivilege in this process's token (OpenProcessToken, LookupPrivilegeValueW,
// AdjustTokenPrivileges), so processes of other sessions can be opened for their data.
#include "core/DebugPrivilege.h"
#include "core/LogCategories.h"

#include <QDebug>

#include <windows.h>

int EnableDebugPrivilege()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &token)) {
        qCDebug(lcCore) << "openProcessToken error";
        return -1;
    }
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!LookupPrivilegeValueW(nullptr, SE_DEBUG_NAME, &privileges.Privileges[0].Luid)) {
        CloseHandle(token);
        qCDebug(lcCore) << "lookupPrivilegevalue error";
        return -2;
    }
    // Succeeds also when the token does not hold the privilege; that is ERROR_NOT_ALL_ASSIGNED.
    const bool adjusted =
        AdjustTokenPrivileges(token, FALSE, &privileges, sizeof privileges, nullptr, nullptr) &&
        GetLastError() == ERROR_SUCCESS;
    CloseHandle(token);
    if (!adjusted) {
        qCDebug(lcCore) << "adjust error";
        return -3;
    }
    qCDebug(lcCore) << "sucessful";
    return 0;
}
