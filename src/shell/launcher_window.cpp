// The launcher's status window. The worker thread never touches it: it posts
// WM_LAUNCHER_* messages, and this window procedure applies them on the main thread.
#include "shell/launcher_window.h"

#include <commctrl.h>

#include <cstdlib>

#include "common/held_core.h"
#include "common/run_log.h"
#include "shell/core_start.h"
#include "shell/launcher_state.h"

namespace {

constexpr wchar_t kInitialStatus[] = L"Initializing Tovrin Tools Launcher...";
constexpr wchar_t kUnexpectedError[] = L"Unexpected launcher error.";

LRESULT OnCreate(HWND window)
{
    // Created once per process and never deleted: the window lives until exit.
    HFONT font = CreateFontW(-14, 0, 0, 0, 600, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                             CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"Segoe UI");

    g_hwndStatus = CreateWindowExW(0, L"STATIC", kInitialStatus, WS_CHILD | WS_VISIBLE, 18, 18, 404, 24, window,
                                   nullptr, nullptr, nullptr);
    SendMessageW(g_hwndStatus, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);

    g_hwndProgress = CreateWindowExW(0, PROGRESS_CLASSW, nullptr, WS_CHILD | WS_VISIBLE | PBS_SMOOTH, 18, 52, 404,
                                     22, window, nullptr, nullptr, nullptr);
    SendMessageW(g_hwndProgress, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    return 0;
}

LRESULT OnClose(HWND window)
{
    // Closing cancels a download in progress; there is nothing to confirm.
    RunLog("window closed by the user");
    g_cancelRequested.store(1);
    DestroyWindow(window);
    return 0;
}

LRESULT OnStatus(LPARAM lParam)
{
    wchar_t* text = reinterpret_cast<wchar_t*>(lParam);
    if (text == nullptr) {
        return 0;
    }
    if (g_hwndStatus != nullptr) {
        SetWindowTextW(g_hwndStatus, text);
        // Painted now rather than when the queue runs dry: the finish that often
        // follows at once keeps this thread busy (core start, 300 ms pause), and
        // the last text must be on the screen meanwhile.
        RedrawWindow(g_hwndStatus, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    }
    // The text was handed over with the message: free it whether or not it was shown.
    free(text);
    return 0;
}

LRESULT OnProgress(WPARAM percent)
{
    if (g_hwndProgress != nullptr) {
        SendMessageW(g_hwndProgress, PBM_SETPOS, percent, 0);
    }
    return 0;
}

LRESULT OnDone(HWND window, WPARAM code)
{
    if (code == DoneLaunch) {
        LaunchCore(window);
        // Held since its signature check, so that it could not be swapped before the start.
        CloseHeldCore();
        // Keep the last status visible for a moment while the core comes up.
        Sleep(300);
    } else {
        const wchar_t* text = g_errorText[0] != L'\0' ? g_errorText : kUnexpectedError;
        LogBox(text);
        MessageBoxW(window, text, kLauncherCaption, MB_ICONERROR);
    }
    DestroyWindow(window);
    return 0;
}

}  // namespace

void InitLauncherControls()
{
    INITCOMMONCONTROLSEX controls = {};
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_PROGRESS_CLASS;
    InitCommonControlsEx(&controls);
}

void RegisterLauncherClass(HINSTANCE instance)
{
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = LauncherWndProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = kLauncherClassName;
    RegisterClassW(&windowClass);
}

HWND CreateLauncherWindow(HINSTANCE instance)
{
    // Centred on the primary screen only, also on multi-monitor systems.
    const int x = (GetSystemMetrics(SM_CXSCREEN) - kLauncherWidth) / 2;
    const int y = (GetSystemMetrics(SM_CYSCREEN) - kLauncherHeight) / 2;
    return CreateWindowExW(WS_EX_TOPMOST, kLauncherClassName, kLauncherCaption, WS_CAPTION | WS_SYSMENU, x, y,
                           kLauncherWidth, kLauncherHeight, nullptr, nullptr, instance, nullptr);
}

void RunMessageLoop()
{
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

LRESULT CALLBACK LauncherWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        return OnCreate(window);
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_CLOSE:
        return OnClose(window);
    case WM_LAUNCHER_STATUS:
        return OnStatus(lParam);
    case WM_LAUNCHER_PROGRESS:
        return OnProgress(wParam);
    case WM_LAUNCHER_DONE:
        return OnDone(window, wParam);
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}
