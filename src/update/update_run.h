// The update run: the body of the worker thread.
#pragma once

#include <windows.h>

// Thread start routine; the parameter is ignored. Posts exactly one
// WM_LAUNCHER_DONE to g_hwndMain; after one that starts the core, installs a
// newer published launcher (UpdateLauncher); returns 0.
DWORD WINAPI UpdateWorkerProc(LPVOID parameter);

// Posts a copy of text to the status line, then percent to the progress bar,
// each only while there is a window to post to.
void PostStatus(const wchar_t* text, int percent);
