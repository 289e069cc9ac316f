// Process entry: shows the status window, starts the update worker and pumps
// messages until the window is gone.
#include <windows.h>

#include "shell/launcher_state.h"
#include "shell/launcher_window.h"
#include "shell/worker_start.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    // The launcher runs elevated from a folder its user can write to: every DLL
    // loaded from here on (the delay-loaded ones included) comes from the system
    // folder, never from beside the exe or from the working directory.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    InitLauncherControls();
    RegisterLauncherClass(instance);

    g_hwndMain = CreateLauncherWindow(instance);
    if (g_hwndMain == nullptr) {
        // Without a window nothing could ever end the message loop.
        return 0;
    }
    ShowWindow(g_hwndMain, SW_SHOWNORMAL);
    UpdateWindow(g_hwndMain);

    // When the worker cannot start, the window keeps its first text until the user closes it.
    StartUpdateWorker();

    RunMessageLoop();
    return 0;
}
