// Posting from the worker thread to the launcher window without losing a
// finish or leaking a status text.
#include "common/window_post.h"

#include <cstdlib>
#include <cwchar>

#include "shell/launcher_state.h"

namespace {

// Long enough for the window to drain a share of a full queue, short enough to go unnoticed.
constexpr DWORD kRetryPauseMs = 10;

}  // namespace

bool PostStatusText(HWND window, const wchar_t* text)
{
    wchar_t* copy = _wcsdup(text);
    if (copy == nullptr) {
        return false;
    }
    if (!PostMessageW(window, WM_LAUNCHER_STATUS, 0, reinterpret_cast<LPARAM>(copy))) {
        // The window never received it, so nobody else will free it.
        free(copy);
        return false;
    }
    return true;
}

bool PostUntilAccepted(HWND window, UINT message, WPARAM wParam, LPARAM lParam, PostFunction post)
{
    // A queue already full (10,000 posted messages on Windows) refuses the post;
    // the window keeps draining it as long as it exists.
    while (!post(window, message, wParam, lParam)) {
        if (!IsWindow(window)) {
            return false;
        }
        Sleep(kRetryPauseMs);
    }
    return true;
}
