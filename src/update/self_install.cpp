// Self-installation: copies the running launcher into the install folder and
// rewrites the desktop shortcut so that later starts go through that copy.
#include "update/self_install.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include "shell/launcher_state.h"
#include "update/path_text.h"

namespace {

constexpr wchar_t kInstalledLauncherName[] = L"TovrinTools_Launcher.exe";
constexpr wchar_t kShortcutName[] = L"Tovrin Tools.lnk";
constexpr wchar_t kShortcutDescription[] = L"Tovrin Tools Launcher";

// Saves a Shell Link at shortcutPath that starts target in workingDirectory
// with target's first icon. Failures are silent.
void WriteShortcut(const wchar_t* shortcutPath, const wchar_t* target, const wchar_t* workingDirectory)
{
    IShellLinkW* link = nullptr;
    IPersistFile* persist = nullptr;
    // S_FALSE (already initialised on this thread) still has to be balanced.
    const HRESULT comInit = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(comInit)) {
        goto cleanup;
    }
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&link)))) {
        goto cleanup;
    }
    // Each setter's failure would only leave that property out of the shortcut.
    link->SetPath(target);
    link->SetWorkingDirectory(workingDirectory);
    link->SetDescription(kShortcutDescription);
    link->SetIconLocation(target, 0);
    if (FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist)))) {
        goto cleanup;
    }
    persist->Save(shortcutPath, TRUE);

cleanup:
    if (persist != nullptr) {
        persist->Release();
    }
    if (link != nullptr) {
        link->Release();
    }
    if (SUCCEEDED(comInit)) {
        CoUninitialize();
    }
}

}  // namespace

void InstallLauncherAndShortcut(const wchar_t* installFolder)
{
    wchar_t ownPath[kPathUnits];
    wchar_t copyPath[kPathUnits];
    wchar_t desktopFolder[kPathUnits];
    wchar_t shortcutPath[kPathUnits];
    const wchar_t* target = nullptr;

    // A result that fills the buffer means the path was cut short; it would
    // name another file or none, so the steps that need it are skipped.
    const DWORD ownLength = GetModuleFileNameW(nullptr, ownPath, kPathUnits);
    const bool haveOwnPath = ownLength > 0 && ownLength < kPathUnits;
    const bool haveCopyPath = JoinPath(installFolder, kInstalledLauncherName, copyPath, kPathUnits);

    // Running from the installed copy itself (in any ASCII spelling): nothing to copy.
    if (haveOwnPath && haveCopyPath && !EqualIgnoringAsciiCase(ownPath, copyPath)) {
        CopyFileW(ownPath, copyPath, FALSE);
    }

    // A failed copy may still have left an older installed copy, which serves as well.
    if (haveCopyPath && GetFileAttributesW(copyPath) != INVALID_FILE_ATTRIBUTES) {
        target = copyPath;
    } else if (haveOwnPath) {
        target = ownPath;
    } else {
        return;
    }

    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, SHGFP_TYPE_CURRENT, desktopFolder))) {
        return;
    }
    if (!JoinPath(desktopFolder, kShortcutName, shortcutPath, kPathUnits)) {
        return;
    }
    WriteShortcut(shortcutPath, target, installFolder);
}
