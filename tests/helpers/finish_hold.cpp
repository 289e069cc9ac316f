// Test helper DLL, set by the UI probe as a message hook: holds the launcher's
// finish message (WM_LAUNCHER_DONE) until the probe has read the window, so the
// last status a run shows can be observed however briefly the window would
// otherwise keep it. While held, the window still answers sent messages (the
// probe reads the progress bar with one); nothing of the launcher runs.
#include <windows.h>

#include <cwchar>

namespace {

constexpr UINT kFinishMessage = 0x8003;  // WM_LAUNCHER_DONE
// A probe that died must not keep a launcher waiting for ever.
constexpr DWORD kLongestHoldMs = 30000;

bool g_heldOnce = false;  // one hold per process, however many probes set the hook

bool IsLauncherWindow(HWND window)
{
    wchar_t className[64];
    return window != nullptr && GetClassNameW(window, className, 64) > 0 &&
           wcscmp(className, L"TovrinToolsLauncherWnd") == 0;
}

// Only a launcher exe (TovrinTools*.exe) is held: unit tests that make launcher
// windows of their own run beside a probe in the same prefix and must not wait.
bool IsLauncherProcess()
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    const wchar_t* name = length > 0 && length < MAX_PATH ? wcsrchr(path, L'\\') : nullptr;
    return name != nullptr && _wcsnicmp(name + 1, L"TovrinTools", 11) == 0;
}

void HoldUntilReleased()
{
    HANDLE held = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"TovrinProbeFinishHeld");
    HANDLE release = OpenEventW(SYNCHRONIZE, FALSE, L"TovrinProbeFinishRelease");
    if (held != nullptr && release != nullptr) {
        SetEvent(held);
        const DWORD start = GetTickCount();
        for (;;) {
            const DWORD elapsed = GetTickCount() - start;
            if (elapsed >= kLongestHoldMs ||
                MsgWaitForMultipleObjects(1, &release, FALSE, kLongestHoldMs - elapsed, QS_SENDMESSAGE) !=
                    WAIT_OBJECT_0 + 1) {
                break;
            }
            MSG message;
            PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        }
    }
    if (release != nullptr) {
        CloseHandle(release);
    }
    if (held != nullptr) {
        CloseHandle(held);
    }
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK HoldFinish(int code, WPARAM wParam, LPARAM lParam)
{
    const MSG* message = reinterpret_cast<const MSG*>(lParam);
    if (code == HC_ACTION && wParam == PM_REMOVE && !g_heldOnce && message->message == kFinishMessage &&
        IsLauncherWindow(message->hwnd) && IsLauncherProcess()) {
        g_heldOnce = true;
        HoldUntilReleased();
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
