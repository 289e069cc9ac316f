// Self-installation: copies the running launcher into the held install folder and
// rewrites the desktop shortcut so that later starts go through that copy.
#include "update/self_install.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <cwchar>

#include "common/folder_files.h"
#include "common/path_text.h"
#include "common/run_log.h"
#include "shell/launcher_state.h"
#include "update/core_floor.h"
#include "update/file_view.h"
#include "update/installed_version.h"
#include "update/own_image.h"
#include "update/pe_version.h"
#include "update/unelevated_rights.h"

namespace {

constexpr wchar_t kShortcutName[] = L"Tovrin Tools.lnk";
constexpr wchar_t kShortcutDescription[] = L"Tovrin Tools Launcher";
constexpr size_t kCopyChunkBytes = 1 << 20;

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
    // Saved with the user's own rights, so that a link planted on the desktop or
    // a desktop folder pointed elsewhere leads it nowhere the user could not write.
    if (ImpersonateUnelevatedUser()) {
        persist->Save(shortcutPath, TRUE);
        RevertToSelf();
    }

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

// Whether the file open as file (read and write access) holds the running
// image, read through that handle.
bool HoldsRunningImage(HANDLE file)
{
    FileView view;
    if (!MapFileView(file, &view)) {
        return false;
    }
    const bool running = IsRunningImage(view.bytes, view.size);
    UnmapFileView(&view);
    return running;
}

// Replaces the installed copy with the bytes of own, the running image's file
// as it was checked, in one move, so the shortcut never points at a
// half-written exe (a launcher closed or a power loss mid-copy). The new copy
// is written from those very bytes and flushed under a name of this process,
// which no other launcher uses, and is no longer than the installed copy's
// name, so every folder that takes the installed copy takes it too. Nobody
// else can open it, and only what is checked again there, through its handle,
// is moved into place. All of it by handle in the held folder; on any failure
// the earlier copy stays as it was and the temporary file is removed.
bool ReplaceInstalledCopy(const FileView& own)
{
    wchar_t temporaryName[32];
    DWORD written = 0;
    bool ok = false;

    swprintf(temporaryName, 32, L"Launcher-%lu.tmp", static_cast<unsigned long>(GetCurrentProcessId()));
    HANDLE copy = OpenFolderFile(temporaryName, GENERIC_READ | GENERIC_WRITE | DELETE, 0, CREATE_ALWAYS);
    if (copy == INVALID_HANDLE_VALUE) {
        return false;
    }
    for (size_t done = 0; done < own.size; done += written) {
        const DWORD chunk = static_cast<DWORD>(own.size - done < kCopyChunkBytes ? own.size - done : kCopyChunkBytes);
        if (!WriteFile(copy, own.bytes + done, chunk, &written, nullptr) || written != chunk) {
            goto cleanup;
        }
    }
    if (!FlushFileBuffers(copy)) {
        goto cleanup;
    }
    if (!HoldsRunningImage(copy)) {
        RunLog("launcher copy: the copy written into the install folder is not the running launcher; it was removed");
        goto cleanup;
    }
    ok = RenameOpenFile(copy, kInstalledLauncherName);

cleanup:
    if (!ok) {
        DeleteOpenFile(copy);
    }
    CloseHandle(copy);
    return ok;
}

// Whether the running launcher, of version running, may replace the installed
// copy: not when that copy or a launcher installed before is newer. A copy
// held by another program counts as none: it cannot be replaced anyway.
bool MayReplaceInstalledCopy(const FileVersionQuad& running)
{
    FileVersionQuad installed = {};
    char runningText[24];
    char installedText[24];
    char floorText[24];

    HANDLE copy = OpenFolderFile(kInstalledLauncherName, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                 OPEN_EXISTING);
    if (copy != INVALID_HANDLE_VALUE) {
        ReadInstalledVersion(copy, &installed);
        CloseHandle(copy);
    }
    const FileVersionQuad floor = LauncherFloor();
    if (MayReplaceInstalledLauncher(running, installed, floor)) {
        return true;
    }
    FormatFileVersion(running, runningText, sizeof(runningText));
    FormatFileVersion(installed, installedText, sizeof(installedText));
    FormatFileVersion(floor, floorText, sizeof(floorText));
    RunLog("launcher copy: this launcher %s is older than the installed copy %s or the launcher floor %s; the "
           "installed copy was kept",
           runningText, installedText, floorText);
    return false;
}

}  // namespace

void InstallLauncherAndShortcut(const wchar_t* installFolder, FileVersionQuad* runningVersion)
{
    wchar_t ownPath[kPathUnits];
    wchar_t copyPath[kPathUnits];
    wchar_t desktopFolder[kPathUnits];
    wchar_t shortcutPath[kPathUnits];
    wchar_t ownFinalPath[kPathUnits];
    const wchar_t* target = nullptr;

    // A result that fills the buffer means the path was cut short; it would
    // name another file or none, so the steps that need it are skipped.
    const DWORD ownLength = GetModuleFileNameW(nullptr, ownPath, kPathUnits);
    const bool haveOwnPath = ownLength > 0 && ownLength < kPathUnits;
    const bool haveCopyPath = JoinPath(installFolder, kInstalledLauncherName, copyPath, kPathUnits);

    // Without write sharing: what is checked below is what is copied.
    HANDLE own = haveOwnPath ? CreateFileW(ownPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)
                             : INVALID_HANDLE_VALUE;
    // Running from the installed copy itself (under any spelling): nothing to copy.
    const bool fromCopy = own != INVALID_HANDLE_VALUE && FolderFilePath(own, kInstalledLauncherName, ownFinalPath);
    // The file at the launcher's path may have been swapped since it started
    // (a running exe can be renamed): only the running image is installed, and
    // the shortcut is never pointed at anything else. The bytes checked are
    // the bytes copied: the file is not read a second time.
    FileView view = {};
    const bool mapped = own != INVALID_HANDLE_VALUE && MapFileView(own, &view);
    const bool ownImage =
        own != INVALID_HANDLE_VALUE && (fromCopy || (mapped && IsRunningImage(view.bytes, view.size)));
    FileVersionQuad running = {};
    const char* problem = nullptr;
    if (ownImage && mapped) {
        ReadPeFileVersion(view.bytes, view.size, &running, nullptr, &problem);
    }
    // The highest launcher ever installed is recorded, so that no older one
    // comes back, not even into a folder made anew.
    bool installedOwn = fromCopy;
    if (ownImage && !fromCopy && haveCopyPath && MayReplaceInstalledCopy(running)) {
        installedOwn = ReplaceInstalledCopy(view);
    }
    if (installedOwn && RaiseLauncherFloor(running)) {
        char text[24];
        FormatFileVersion(running, text, sizeof(text));
        RunLog("launcher floor: raised to %s", text);
    }
    UnmapFileView(&view);
    if (runningVersion != nullptr) {
        *runningVersion = running;
    }
    if (own != INVALID_HANDLE_VALUE) {
        CloseHandle(own);
    }
    if (!ownImage) {
        RunLog("launcher copy: the file at the launcher's path is not the running launcher; the installed copy and "
               "the shortcut were left as they were");
        return;
    }
    // A copy made by an earlier version keeps the rights it was made with until
    // it is replaced, which a start from the copy itself never does. A failed
    // copy may still have left an older installed copy, which serves as well;
    // one that cannot be opened in the held folder is nobody's to point at.
    HANDLE installed = OpenFolderFile(kInstalledLauncherName, FILE_READ_ATTRIBUTES | WRITE_DAC | WRITE_OWNER,
                                      FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING);
    if (installed != INVALID_HANDLE_VALUE) {
        ProtectFolderFile(installed);
        CloseHandle(installed);
        target = copyPath;
    } else {
        target = ownPath;
    }

    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, SHGFP_TYPE_CURRENT, desktopFolder))) {
        return;
    }
    if (!JoinPath(desktopFolder, kShortcutName, shortcutPath, kPathUnits)) {
        return;
    }
    WriteShortcut(shortcutPath, target, installFolder);
}
