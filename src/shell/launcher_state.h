// Launcher state shared by the window on the main thread and the update worker,
// and the private messages through which the worker reaches the window.
#pragma once

#include <windows.h>

#include <atomic>

// Posted by the worker; the window applies them in posting order.
constexpr UINT WM_LAUNCHER_STATUS = WM_APP + 1;   // lParam: _wcsdup'd text, freed by the window
constexpr UINT WM_LAUNCHER_PROGRESS = WM_APP + 2; // wParam: percent 0..100
constexpr UINT WM_LAUNCHER_DONE = WM_APP + 3;     // wParam: DoneLaunch or DoneFail

// Finish codes carried by WM_LAUNCHER_DONE.
constexpr WPARAM DoneFail = 0;
constexpr WPARAM DoneLaunch = 1;

constexpr size_t kPathUnits = MAX_PATH;  // every path buffer, terminator included
constexpr size_t kErrorTextUnits = 512;

constexpr wchar_t kLauncherCaption[] = L"Tovrin Tools Launcher";

extern HWND g_hwndMain;
extern HWND g_hwndStatus;
extern HWND g_hwndProgress;
// Set once by the window when the user closes it; polled by the download loop.
extern std::atomic<LONG> g_cancelRequested;
// Written by the worker before it posts WM_LAUNCHER_DONE, read while that message is handled.
extern wchar_t g_corePath[kPathUnits];
extern wchar_t g_errorText[kErrorTextUnits];
// The installed core, opened in the held install folder and checked (with
// signer pins: its signature) by the worker, which holds it until it hands it
// over here right before it posts DoneLaunch; closed by the window once the
// start has returned, so the file started is the file checked.
// INVALID_HANDLE_VALUE until then.
extern HANDLE g_coreHandle;
