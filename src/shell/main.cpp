// Process entry: shows the status window, starts the update worker and pumps
// messages until the window is gone.
#include <windows.h>

#include "shell/launcher_state.h"
#include "shell/launcher_window.h"
#include "shell/single_run.h"
#include "shell/worker_start.h"

namespace {

// Long enough for a launcher's download at a modest line, short enough that
// a stalled one does not keep the process for long.
constexpr DWORD kLauncherUpdateWaitMs = 60000;

// RedirectionGuard: from Windows 10 22H2 and 11 on, the process follows no
// junction that a non-administrator made. Looked up when used, since Windows 7
// has no SetProcessMitigationPolicy; systems that lack or refuse the policy run
// without it.
void RefuseUntrustedJunctions()
{
    using SetPolicyFn = BOOL(WINAPI*)(PROCESS_MITIGATION_POLICY, PVOID, SIZE_T);
    const auto setPolicy = reinterpret_cast<SetPolicyFn>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetProcessMitigationPolicy")));
    if (setPolicy != nullptr) {
        PROCESS_MITIGATION_REDIRECTION_TRUST_POLICY policy = {};
        policy.EnforceRedirectionTrust = 1;
        setPolicy(ProcessRedirectionTrustPolicy, &policy, sizeof(policy));
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    // The launcher runs elevated from a folder its user can write to: every DLL
    // loaded from here on (the delay-loaded ones included) comes from the system
    // folder, never from beside the exe or from the working directory.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    RefuseUntrustedJunctions();

    // A second launcher of this user (a double double-click, a second shortcut)
    // shows the running one and leaves every file alone; when no launcher window
    // shows up, the user is told rather than left with nothing.
    RunLock runLock = {nullptr, nullptr};
    if (!TakeRunLock(&runLock)) {
        if (!BringRunningLauncherToFront(kRunningWindowWaitMs)) {
            MessageBoxW(nullptr, L"Tovrin Tools Launcher is already running.", kLauncherCaption, MB_ICONINFORMATION);
        }
        return 0;
    }

    InitLauncherControls();
    RegisterLauncherClass(instance);

    g_hwndMain = CreateLauncherWindow(instance);
    if (g_hwndMain == nullptr) {
        // Without a window nothing could ever end the message loop.
        ReleaseRunLock(runLock);
        return 0;
    }
    ShowWindow(g_hwndMain, SW_SHOWNORMAL);
    UpdateWindow(g_hwndMain);

    // When the worker cannot start, the window keeps its first text until the user closes it.
    HANDLE worker = StartUpdateWorker();

    RunMessageLoop();
    // A launcher update may still be going on after the core started; it is
    // given a while, under the run lock, so no other launcher meets it halfway.
    // A window the user closed ends the process at once, with the run wherever
    // it is, as it always did.
    if (worker != nullptr) {
        if (g_cancelRequested.load() == 0) {
            WaitForSingleObject(worker, kLauncherUpdateWaitMs);
        }
        CloseHandle(worker);
    }
    // The run is over once the window is gone. The process can linger a moment
    // after that, and the next launcher must not take it for a running one.
    ReleaseRunLock(runLock);
    return 0;
}
