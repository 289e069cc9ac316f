// The launcher's status window: class registration, creation and the window
// procedure that applies the worker's messages.
#pragma once

#include <windows.h>

constexpr wchar_t kLauncherClassName[] = L"TovrinToolsLauncherWnd";
constexpr int kLauncherWidth = 456;
constexpr int kLauncherHeight = 128;

// Common controls needed by the progress bar.
void InitLauncherControls();

// Registers "TovrinToolsLauncherWnd" with the icon resource 1 of instance.
void RegisterLauncherClass(HINSTANCE instance);

// Creates the topmost window centred on the primary screen (not yet shown);
// its controls are created from WM_CREATE. Null when creation failed.
HWND CreateLauncherWindow(HINSTANCE instance);

// Pumps messages until WM_QUIT.
void RunMessageLoop();

LRESULT CALLBACK LauncherWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
