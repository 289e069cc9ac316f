// Process entry: shows the status window, starts the update worker and pumps
// messages until the window is gone.
#include <windows.h>

#include "shell/launcher_state.h"
#include "shell/launcher_window.h"
#include "shell/single_run.h"
#include "shell/worker_start.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    // The launcher runs elevated from a folder its user can write to: every DLL
    // loaded from here on (the delay-loaded ones included) comes from the system
    // folder, never from beside the exe or from the working directory.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);

    // A second launcher of this session (a double double-click, a second
    // shortcut) shows the running one and leaves every file alone.
    HANDLE runLock = nullptr;
    if (!TakeRunLock(&runLock)) {
        BringRunningLauncherToFront();
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
    StartUpdateWorker();

    RunMessageLoop();
    // The run is over once the window is gone. The process can linger a moment
    // after that, and the next launcher must not take it for a running one.
    ReleaseRunLock(runLock);
    return 0;
}
