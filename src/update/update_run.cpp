// The update run on the worker thread: lays out the install folder, installs
// the launcher, checks the published release, downloads, verifies and replaces
// the core when needed, and ends with exactly one WM_LAUNCHER_DONE.
#include "update/update_run.h"

#include <shlobj.h>

#include <cwchar>

#include "shell/core_start.h"
#include "shell/launcher_state.h"
#include "shell/window_post.h"
#include "transfer/file_digest.h"
#include "transfer/file_signature.h"
#include "transfer/http_client.h"
#include "update/core_signers.h"
#include "update/folder_files.h"
#include "update/path_text.h"
#include "update/release_info.h"
#include "update/self_install.h"
#include "update/update_decision.h"
#include "update_host.h"

namespace {

constexpr wchar_t kMetaPath[] = L"/tovrin-tools-api/v1/bootstrap_meta";
constexpr wchar_t kExePath[] = L"/tovrin-tools-api/v1/bootstrap_exe";
constexpr uint32_t kMetaCapacity = 4096;
constexpr size_t kVersionLabelUnits = 64;

constexpr wchar_t kVerifyingText[] = L"Verifying SHA-256 integrity...";
constexpr wchar_t kLaunchingText[] = L"Launching Tovrin Tools...";
constexpr wchar_t kDownloadError[] =
    L"Download failed. Please check your internet connection or antivirus and try again.";
constexpr wchar_t kDigestError[] = L"SHA-256 verification failed! Please try downloading again.";
constexpr wchar_t kReplaceError[] = L"Cannot replace TovrinTools_core.exe (close running Tovrin Tools and retry).";
constexpr wchar_t kUnsignedDownloadError[] =
    L"The downloaded Tovrin Tools core is not signed by its publisher and was not installed.";
constexpr wchar_t kLinkedFolderError[] = L"The Tovrin Tools folder %ls is a link to another place and was not used. "
                                         L"Remove it and start Tovrin Tools again.";
constexpr wchar_t kFolderName[] = L"TovrinTools";
constexpr wchar_t kDownloadName[] = L"TovrinTools_core.exe.tmp";

// The one message the window must get: a run whose finish was refused would
// leave the window open forever with nothing started.
void Finish(WPARAM code)
{
    PostUntilAccepted(g_hwndMain, WM_LAUNCHER_DONE, code, 0, PostMessageW);
}

void FinishWithError(const wchar_t* text)
{
    wcsncpy(g_errorText, text, kErrorTextUnits - 1);
    g_errorText[kErrorTextUnits - 1] = L'\0';
    Finish(DoneFail);
}

// Opens the installed core in the held folder, checks it (with signer pins:
// that its publisher signed it) and keeps it in g_coreHandle for the window's
// start: from now on it can be neither changed, replaced, moved nor removed
// (read sharing only), and the start is of this file. Once held, it stays held.
bool HoldCore()
{
    if (g_coreHandle != INVALID_HANDLE_VALUE) {
        return true;
    }
    // Changing its owner and DACL is no access that a start's open conflicts with.
    HANDLE core = OpenFolderFile(kCoreName, GENERIC_READ | WRITE_DAC | WRITE_OWNER, FILE_SHARE_READ, OPEN_EXISTING);
    if (core == INVALID_HANDLE_VALUE) {
        return false;
    }
    if (kCoreSignerPinCount > 0 && !FileSignedByPinnedKey(core, g_corePath, kCoreSignerPins, kCoreSignerPinCount)) {
        CloseHandle(core);
        return false;
    }
    // A failed repair leaves the core as protected as before: held, nobody can
    // change it during this run.
    ProtectFolderFile(core);
    g_coreHandle = core;
    return true;
}

// Finishes the run with the start of the held core, or with the refusal of a
// core that cannot be held: not signed by its publisher, or (without pins) not
// openable as the folder's own file, which the launch error reports.
void FinishWithStart(bool announce)
{
    if (!HoldCore()) {
        if (kCoreSignerPinCount > 0) {
            FinishWithError(kUnsignedCoreError);
        } else {
            swprintf(g_errorText, kErrorTextUnits, kLaunchErrorFormat, static_cast<unsigned long>(GetLastError()));
            Finish(DoneFail);
        }
        return;
    }
    if (announce) {
        PostStatus(kLaunchingText, 100);
    }
    Finish(DoneLaunch);
}

bool CoreInstalled()
{
    // Any file system object of that name counts: the start will tell whether it runs.
    return GetFileAttributesW(g_corePath) != INVALID_FILE_ATTRIBUTES;
}

// The current user's local application data folder, or the temporary folder
// when the shell cannot name one.
void ResolveBaseFolder(wchar_t* base)
{
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, base))) {
        GetTempPathW(kPathUnits, base);
    }
}

// Removes the temporary files of launchers killed part-way. One still in use
// by a running launcher is open without delete sharing and stays.
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

void BuildVersionLabel(const char* version, wchar_t* label)
{
    wcscpy(label, L"latest");
    MultiByteToWideChar(CP_UTF8, 0, version, -1, label, static_cast<int>(kVersionLabelUnits));
}

// The checks of the download, all through its open handle: the published
// digest and, with pins, the publisher's signature. Finishes the run with the
// error when one fails.
bool DownloadAccepted(HANDLE download, const ReleaseInfo& release)
{
    wchar_t downloadPath[kPathUnits];
    if (release.sha256[0] != '\0') {
        char digest[kSha256HexBytes];
        if (!ComputeHandleSha256Hex(download, digest) || _stricmp(digest, release.sha256) != 0) {
            FinishWithError(kDigestError);
            return false;
        }
    }
    if (kCoreSignerPinCount > 0 &&
        (!JoinPath(g_installFolderPath, kDownloadName, downloadPath, kPathUnits) ||
         !FileSignedByPinnedKey(download, downloadPath, kCoreSignerPins, kCoreSignerPinCount))) {
        FinishWithError(kUnsignedDownloadError);
        return false;
    }
    return true;
}

// Moves the checked download over the core through its handle; a running core
// keeps its file locked, so it gets one more chance to let go.
bool MoveDownloadOverCore(HANDLE download)
{
    CloseHeldCore();
    if (RenameOpenFile(download, kCoreName)) {
        return true;
    }
    Sleep(900);
    return RenameOpenFile(download, kCoreName);
}

// Holds the core just moved into place for its start, after checking it is the
// same file as the download (moved) that was checked: the write handle had to
// go, since no start can open a file that is open for writing.
void FinishWithMovedCore(HANDLE download)
{
    BY_HANDLE_FILE_INFORMATION moved = {};
    BY_HANDLE_FILE_INFORMATION held = {};
    const bool known = GetFileInformationByHandle(download, &moved) != FALSE;
    CloseHandle(download);
    if (!known || !HoldCore() || !GetFileInformationByHandle(g_coreHandle, &held) ||
        held.dwVolumeSerialNumber != moved.dwVolumeSerialNumber || held.nFileIndexHigh != moved.nFileIndexHigh ||
        held.nFileIndexLow != moved.nFileIndexLow) {
        CloseHeldCore();
        FinishWithError(kCoreSignerPinCount > 0 ? kUnsignedCoreError : kReplaceError);
        return;
    }
    FinishWithStart(true);
}

// Download, verification and replacement of the core; finishes the run.
void UpdateCore(const ReleaseInfo& release)
{
    wchar_t label[kVersionLabelUnits];
    BuildVersionLabel(release.version, label);

    // Read sharing only: nobody else can change, move or remove the file that
    // is written, checked and moved here.
    HANDLE download =
        OpenFolderFile(kDownloadName, GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, OPEN_ALWAYS);
    if (download == INVALID_HANDLE_VALUE || !HttpDownloadToFile(kExePath, download, release.size, label)) {
        if (download != INVALID_HANDLE_VALUE) {
            DeleteOpenFile(download);
            CloseHandle(download);
        }
        // Cancelled or failed: a core that is already there is still worth starting.
        if (CoreInstalled()) {
            FinishWithStart(false);
        } else {
            FinishWithError(kDownloadError);
        }
        return;
    }

    PostStatus(kVerifyingText, 100);
    if (!DownloadAccepted(download, release)) {
        DeleteOpenFile(download);
        CloseHandle(download);
        return;
    }
    if (!MoveDownloadOverCore(download)) {
        DeleteOpenFile(download);
        CloseHandle(download);
        FinishWithError(kReplaceError);
        return;
    }
    FinishWithMovedCore(download);
}

}  // namespace

void PostStatus(const wchar_t* text, int percent)
{
    if (g_hwndMain != nullptr) {
        PostStatusText(g_hwndMain, text);
    }
    if (g_hwndMain != nullptr) {
        PostMessageW(g_hwndMain, WM_LAUNCHER_PROGRESS, static_cast<WPARAM>(percent), 0);
    }
}

DWORD WINAPI UpdateWorkerProc(LPVOID)
{
    wchar_t base[kPathUnits] = L"";
    wchar_t spelledFolder[kPathUnits];
    wchar_t checkingText[kErrorTextUnits];
    char document[kMetaCapacity] = {};
    ReleaseInfo release;

    ResolveBaseFolder(base);
    // A path cut short would point somewhere else entirely: never use one.
    if (!JoinPath(base, kFolderName, spelledFolder, kPathUnits)) {
        Finish(DoneFail);
        return 0;
    }
    const FolderHold hold = HoldInstallFolder(base, kFolderName);
    if (hold == FolderLinked) {
        swprintf(g_errorText, kErrorTextUnits, kLinkedFolderError, spelledFolder);
        Finish(DoneFail);
        return 0;
    }
    // A folder that cannot be held (a file in its place, no rights) has nothing
    // that can be opened in it: every step that needs it fails as it would have.
    const wchar_t* installFolder = hold == FolderHeld ? g_installFolderPath : spelledFolder;
    if (!JoinPath(installFolder, kCoreName, g_corePath, kPathUnits)) {
        Finish(DoneFail);
        return 0;
    }
    if (hold == FolderHeld) {
        RemoveStaleTemporaryFiles();
    }
    InstallLauncherAndShortcut(installFolder);
    // Held from here to its start, unless a download replaces it.
    HoldCore();

    swprintf(checkingText, kErrorTextUnits, L"Checking latest version on %ls...", kUpdateHost);
    PostStatus(checkingText, 5);

    if (!HttpFetchToBuffer(kMetaPath, document, kMetaCapacity)) {
        if (CoreInstalled()) {
            FinishWithStart(false);
        } else {
            wchar_t connectError[kErrorTextUnits];
            swprintf(connectError, kErrorTextUnits,
                     L"Cannot connect to update server (%ls).\nCheck your internet connection and try again.",
                     kUpdateHost);
            FinishWithError(connectError);
        }
        return 0;
    }

    ReadReleaseInfo(document, &release);
    // Decided on the held core, which nobody can change meanwhile. A core that
    // could not be held (with pins: one its publisher did not sign) counts as
    // not installed: the published build replaces it.
    if (DecideUpdate(g_coreHandle, g_corePath, release) == LaunchInstalled) {
        FinishWithStart(true);
        return 0;
    }
    UpdateCore(release);
    return 0;
}
