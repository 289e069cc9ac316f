// The program holding the install folder, as the Restart Manager knows it.
// rstrtmgr.dll is bound late, from the system folder, like the other system
// DLLs that are not known DLLs.
#include "update/folder_holder.h"

#include <windows.h>
#include <restartmanager.h>

#include <cwchar>

namespace {

static_assert(kHolderNameUnits == CCH_RM_MAX_APP_NAME + 1, "a whole name");
// Enough to name one; with more holders RmGetList says ERROR_MORE_DATA and names none.
constexpr UINT kHolders = 4;

}  // namespace

bool FolderHolderName(const wchar_t* path, wchar_t* name, size_t units)
{
    DWORD session = 0;
    WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
    RM_PROCESS_INFO holders[kHolders];
    UINT needed = 0;
    UINT count = kHolders;
    DWORD reasons = 0;
    LPCWSTR files[] = {path};

    if (RmStartSession(&session, 0, key) != ERROR_SUCCESS) {
        return false;
    }
    const bool ok = RmRegisterResources(session, 1, files, 0, nullptr, 0, nullptr) == ERROR_SUCCESS &&
                    RmGetList(session, &needed, &count, holders, &reasons) == ERROR_SUCCESS && count > 0 &&
                    holders[0].strAppName[0] != L'\0';
    if (ok) {
        wcsncpy(name, holders[0].strAppName, units - 1);
        name[units - 1] = L'\0';
    }
    RmEndSession(session);
    return ok;
}
