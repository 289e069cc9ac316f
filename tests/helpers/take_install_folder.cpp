// Test helper: takes the install folder as a launcher does (making and
// recording it when there is none), so that a test can put files in it as an
// earlier run would have. Prints the held folder's path.
#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <cstdio>

#include "update/install_folder.h"

int wmain()
{
    wchar_t* base = nullptr;
    FolderTaken taken = {};
    if (FAILED(SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_DEFAULT_PATH | KF_FLAG_NO_ALIAS, nullptr, &base)) ||
        TakeInstallFolder(base, L"TovrinTools", &taken) != FolderHeld) {
        fwprintf(stderr, L"take_install_folder: the install folder cannot be taken\n");
        return 1;
    }
    wprintf(L"%ls\n", g_installFolderPath);
    CoTaskMemFree(base);
    return 0;
}
