// The update run on the worker thread: lays out the install folder, installs
// the launcher, checks the published release, downloads, verifies and replaces
// the core when needed, and ends with exactly one WM_LAUNCHER_DONE.
#include "update/update_run.h"

#include <shlobj.h>

#include <cwchar>

#include "shell/launcher_state.h"
#include "shell/window_post.h"
#include "transfer/file_digest.h"
#include "transfer/file_signature.h"
#include "transfer/http_client.h"
#include "update/core_signers.h"
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
constexpr wchar_t kUnsignedCoreError[] = L"TovrinTools_core.exe is not signed by its publisher and was not started.";

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

// With signer pins: opens the installed core, checks that the publisher signed
// it and keeps it open in g_coreHandle for the window's start (once held, it
// stays held). Without pins there is nothing to check and nothing is opened.
bool HoldCoreForStart()
{
    if (kCoreSignerPinCount == 0 || g_coreHandle != INVALID_HANDLE_VALUE) {
        return true;
    }
    return HoldSignedFile(g_corePath, kCoreSignerPins, kCoreSignerPinCount, &g_coreHandle);
}

// Finishes the run with the start of the installed core, or with the refusal
// of a core that its publisher did not sign.
void FinishWithStart(bool announce)
{
    if (!HoldCoreForStart()) {
        FinishWithError(kUnsignedCoreError);
        return;
    }
    if (announce) {
        PostStatus(kLaunchingText, 100);
    }
    Finish(DoneLaunch);
}

bool DownloadSignedByPublisher(const wchar_t* downloadPath)
{
    HANDLE download = INVALID_HANDLE_VALUE;
    if (!HoldSignedFile(downloadPath, kCoreSignerPins, kCoreSignerPinCount, &download)) {
        return false;
    }
    // Released at once: the move needs the file. The core is checked again for its start.
    CloseHandle(download);
    return true;
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

void BuildVersionLabel(const char* version, wchar_t* label)
{
    wcscpy(label, L"latest");
    MultiByteToWideChar(CP_UTF8, 0, version, -1, label, static_cast<int>(kVersionLabelUnits));
}

// Download, verification and replacement of the core; finishes the run.
void UpdateCore(const wchar_t* downloadPath, const ReleaseInfo& release)
{
    wchar_t label[kVersionLabelUnits];
    BuildVersionLabel(release.version, label);

    if (!HttpDownloadToFile(kExePath, downloadPath, release.size, label)) {
        DeleteFileW(downloadPath);
        // Cancelled or failed: a core that is already there is still worth starting.
        if (CoreInstalled()) {
            FinishWithStart(false);
        } else {
            FinishWithError(kDownloadError);
        }
        return;
    }

    PostStatus(kVerifyingText, 100);
    if (release.sha256[0] != '\0') {
        char digest[65];
        if (!ComputeFileSha256Hex(downloadPath, digest) || _stricmp(digest, release.sha256) != 0) {
            DeleteFileW(downloadPath);
            FinishWithError(kDigestError);
            return;
        }
    }
    if (kCoreSignerPinCount > 0 && !DownloadSignedByPublisher(downloadPath)) {
        DeleteFileW(downloadPath);
        FinishWithError(kUnsignedDownloadError);
        return;
    }

    // A running core keeps its file locked; give it one more chance to let go.
    const DWORD flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    if (!MoveFileExW(downloadPath, g_corePath, flags)) {
        Sleep(900);
        if (!MoveFileExW(downloadPath, g_corePath, flags)) {
            DeleteFileW(downloadPath);
            FinishWithError(kReplaceError);
            return;
        }
    }

    FinishWithStart(true);
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
    wchar_t installFolder[kPathUnits];
    wchar_t downloadPath[kPathUnits];
    wchar_t checkingText[kErrorTextUnits];
    char document[kMetaCapacity] = {};
    ReleaseInfo release;

    ResolveBaseFolder(base);
    // A path cut short would point somewhere else entirely: never use one.
    if (!JoinPath(base, L"TovrinTools", installFolder, kPathUnits) ||
        !JoinPath(installFolder, L"TovrinTools_core.exe", g_corePath, kPathUnits) ||
        !JoinPath(installFolder, L"TovrinTools_core.exe.tmp", downloadPath, kPathUnits)) {
        g_corePath[0] = L'\0';
        Finish(DoneFail);
        return 0;
    }
    CreateDirectoryW(installFolder, nullptr);
    InstallLauncherAndShortcut(installFolder);

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
    // A core that its publisher did not sign counts as not installed: the
    // published build replaces it. A kept core stays held for its start.
    if (DecideUpdate(g_corePath, release) == LaunchInstalled && HoldCoreForStart()) {
        FinishWithStart(true);
        return 0;
    }
    UpdateCore(downloadPath, release);
    return 0;
}
