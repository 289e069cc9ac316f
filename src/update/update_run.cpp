// The update run. For now it only points g_corePath at the core beside the
// launcher and asks the window to start it; the real run (install folder,
// release check, download, verification) replaces this body.
#include "update/update_run.h"

#include <cwchar>

#include "shell/launcher_state.h"

DWORD WINAPI UpdateWorkerProc(LPVOID)
{
    wchar_t ownPath[kPathUnits];
    const DWORD length = GetModuleFileNameW(nullptr, ownPath, kPathUnits);
    wchar_t* lastSlash = wcsrchr(ownPath, L'\\');
    if (length == 0 || length >= kPathUnits || lastSlash == nullptr) {
        PostMessageW(g_hwndMain, WM_LAUNCHER_DONE, DoneFail, 0);
        return 0;
    }
    *lastSlash = L'\0';
    swprintf(g_corePath, kPathUnits, L"%ls\\TovrinTools_core.exe", ownPath);
    PostMessageW(g_hwndMain, WM_LAUNCHER_DONE, DoneLaunch, 0);
    return 0;
}
