// Where the run's install folder lies and how the run takes it.
#include "update/run_folder.h"

#include <knownfolders.h>
#include <shlobj.h>

#include <cwchar>

#include "common/folder_files.h"
#include "common/path_text.h"
#include "update/folder_holder.h"

namespace {

constexpr wchar_t kFolderName[] = L"TovrinTools";
constexpr wchar_t kLinkedFolderError[] = L"The Tovrin Tools folder %ls is a link to another place and was not used. "
                                         L"Remove it and start Tovrin Tools again.";
constexpr wchar_t kForeignFolderError[] = L"The Tovrin Tools folder %ls was not made by Tovrin Tools and could not be "
                                          L"set aside. Close Tovrin Tools and start it again.";
constexpr wchar_t kFolderInUseByError[] =
    L"The Tovrin Tools folder %ls is in use by %.120ls. Close it and start Tovrin Tools again.";
constexpr wchar_t kFolderInUseError[] =
    L"The Tovrin Tools folder %ls is in use by another program. Close it and start Tovrin Tools again.";

// The user's local application data folder where the profile has it: its
// default path, never where the user's own registry redirects it (an elevated
// launcher must not be sent to a folder of somebody's choosing). The temporary
// folder named by the user's environment is no substitute.
bool ResolveBaseFolder(wchar_t* base)
{
    wchar_t* path = nullptr;
    const bool ok = SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_DEFAULT_PATH | KF_FLAG_NO_ALIAS,
                                                   nullptr, &path)) &&
                    wcslen(path) < kPathUnits;
    if (ok) {
        wcscpy(base, path);
    }
    CoTaskMemFree(path);
    return ok;
}

// The box for a folder that another program holds open, naming the program
// where the Restart Manager knows it. The log lives in that folder: this run
// has none to write to.
RunEnd FolderInUseEnd(const wchar_t* folder)
{
    wchar_t box[kErrorTextUnits];
    wchar_t holder[kHolderNameUnits];
    if (FolderHolderName(folder, holder, kHolderNameUnits)) {
        swprintf(box, kErrorTextUnits, kFolderInUseByError, folder, holder);
    } else {
        swprintf(box, kErrorTextUnits, kFolderInUseError, folder);
    }
    return EndWithBox(box);
}

}  // namespace

bool TakeRunFolder(RunFolder* folder, RunEnd* end)
{
    wchar_t base[kPathUnits] = L"";
    wchar_t box[kErrorTextUnits];

    folder->haveBase = ResolveBaseFolder(base);
    folder->hold = FolderUnusable;
    // A path cut short would point somewhere else entirely: never use one.
    if (folder->haveBase && !JoinPath(base, kFolderName, folder->spelled, kPathUnits)) {
        *end = EndWithBox(L"");
        return false;
    }
    if (folder->haveBase) {
        folder->hold = TakeInstallFolder(base, kFolderName, &folder->taken);
    }
    if (folder->hold == FolderLinked || folder->hold == FolderForeign) {
        swprintf(box, kErrorTextUnits, folder->hold == FolderLinked ? kLinkedFolderError : kForeignFolderError,
                 folder->spelled);
        *end = EndWithBox(box);
        return false;
    }
    if (folder->hold == FolderInUse) {
        *end = FolderInUseEnd(folder->spelled);
        return false;
    }
    return true;
}

void RemoveStaleTemporaryFiles()
{
    wchar_t pattern[kPathUnits];
    WIN32_FIND_DATAW found;
    if (!JoinPath(g_installFolderPath, L"*.tmp", pattern, kPathUnits)) {
        return;
    }
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        // One still in use by a running launcher is open without delete sharing and stays.
        if (!IsStaleTemporaryName(found.cFileName)) {
            continue;
        }
        HANDLE file = OpenFolderFile(found.cFileName, DELETE, 0, OPEN_EXISTING);
        if (file != INVALID_HANDLE_VALUE) {
            DeleteOpenFile(file);
            CloseHandle(file);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}
