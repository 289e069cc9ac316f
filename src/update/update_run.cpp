// The update run on the worker thread, in the order of its steps: the install
// folder, the installed core held and checked beside the metadata request and
// the self-installation, the decision, the download when needed, and the one
// WM_LAUNCHER_DONE. Each step lives in a file of its own:
//   run_folder       where the install folder is and taking it
//   installed_core   the held core, its checks, the decision and the hand-over
//   metadata_fetch   the metadata request beside the self-installation
//   self_install     the launcher's copy and the desktop shortcut
//   core_download    downloading, checking and moving the published core
//   launcher_update  the published launcher over the installed copy, once the core started
//   run_report       what the run writes to the log
//   run_end          how a run ends
#include "update/update_run.h"

#include <cwchar>

#include "common/held_core.h"
#include "common/path_text.h"
#include "common/run_log.h"
#include "common/window_post.h"
#include "shell/launcher_state.h"
#include "update/core_download.h"
#include "update/core_signers.h"
#include "update/installed_core.h"
#include "update/launcher_update.h"
#include "update/metadata_fetch.h"
#include "update/partial_download.h"
#include "update/release_info.h"
#include "update/run_end.h"
#include "update/run_folder.h"
#include "update/run_report.h"
#include "update/self_install.h"
#include "update_host.h"

namespace {

constexpr wchar_t kLaunchingText[] = L"Launching Tovrin Tools...";
constexpr wchar_t kConnectErrorFormat[] =
    L"Cannot connect to update server (%ls).\nCheck your internet connection and try again.";

// What this run knows for the launcher's own update: the published launcher
// and this launcher's version; left empty when the folder is not held.
struct LauncherStep {
    LauncherRelease release;
    FileVersionQuad running;
};

// The whole run, up to how it ends.
RunEnd RunUpdate(LauncherStep* launcher)
{
    RunFolder folder = {};
    RunEnd end = {};
    wchar_t text[kErrorTextUnits];
    char document[kMetaCapacity];
    HttpOutcome outcome = {};
    ReleaseInfo release;
    FileVersionQuad installed = {};

    // 1. The install folder. One that cannot be held (no rights, a volume that
    // keeps none) has nothing that can be opened in it: every step that needs
    // it fails as it would have, and nothing is installed or pointed at.
    if (!TakeRunFolder(&folder, &end)) {
        return end;
    }
    const wchar_t* installFolder = folder.hold == FolderHeld ? g_installFolderPath : folder.spelled;
    if (folder.haveBase && !JoinPath(installFolder, kCoreName, g_corePath, kPathUnits)) {
        return EndWithBox(L"");
    }
    if (folder.hold == FolderHeld) {
        OpenRunLog();
        LogRunStarted(folder.taken);
        RemoveStaleTemporaryFiles();
    }

    // 2. The installed core, held from here to its start unless a download
    // replaces it; its checks, the metadata request and the self-installation
    // go on side by side.
    HoldCoreForChecks();
    swprintf(text, kErrorTextUnits, L"Checking latest version on %ls...", kUpdateHost);
    PostStatus(text, 5);
    StartMetadataFetch();
    if (folder.hold == FolderHeld) {
        InstallLauncherAndShortcut(g_installFolderPath, &launcher->running);
    }

    // 3. The published release; without it, the installed core, if any.
    const bool haveDocument = WaitForMetadata(document, &outcome);
    LogProxyDecision();
    LogRequest("metadata request", haveDocument, outcome);
    DropCoreUnlessSigned();
    if (!haveDocument) {
        swprintf(text, kErrorTextUnits, kConnectErrorFormat, kUpdateHost);
        return FallBack(text);
    }
    ReadReleaseInfo(document, &release);
    if (folder.hold == FolderHeld) {
        ReadLauncherRelease(document, &launcher->release);
        RemovePartialOfAnotherRelease(release);
    }

    // 4. The decision, on the held core, which nobody can change meanwhile. A
    // core that could not be held (with pins: one its publisher did not sign)
    // counts as not installed: the published build replaces it.
    if (DecideOnHeldCore(release, &installed) == LaunchInstalled) {
        return EndByStarting(true);
    }

    // 5. Download, verification and replacement.
    return UpdateCore(release, installed);
}

// The one finish of a run, and the one message the window must get: a run
// whose finish was refused would leave the window open forever with nothing
// started. A core to start must be held (and, with pins, signed by its
// publisher); it goes to the window with the message, and otherwise is let go here.
// True when the window was told to start it.
bool FinishRun(const RunEnd& end)
{
    WPARAM code = DoneFail;
    if (!end.start) {
        wcsncpy(g_errorText, end.box, kErrorTextUnits - 1);
        g_errorText[kErrorTextUnits - 1] = L'\0';
    } else if (!HoldCore()) {
        // Not signed by its publisher, or (without pins) not openable as the
        // folder's own file, which the launch error reports.
        if (kCoreSignerPinCount > 0) {
            wcscpy(g_errorText, kUnsignedCoreError);
        } else {
            swprintf(g_errorText, kErrorTextUnits, kLaunchErrorFormat, static_cast<unsigned long>(GetLastError()));
        }
    } else {
        RaiseFloorToHeldCore();
        if (end.announce) {
            PostStatus(kLaunchingText, 100);
        }
        code = DoneLaunch;
    }
    if (code == DoneLaunch) {
        HandOverCore();
    } else {
        LetGoOfCore();
    }
    PostUntilAccepted(g_hwndMain, WM_LAUNCHER_DONE, code, 0, PostMessageW);
    return code == DoneLaunch;
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
    LauncherStep launcher = {};
    // The launcher's own update never delays the core: it follows the start,
    // while the process waits for this thread once its window is gone.
    if (FinishRun(RunUpdate(&launcher)) && g_cancelRequested.load() == 0) {
        UpdateLauncher(launcher.release, launcher.running);
    }
    return 0;
}
