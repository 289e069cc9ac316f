// Posting from the worker thread to the launcher window, which may be gone or
// have a full message queue when a post is made.
#pragma once

#include <windows.h>

// PostMessageW or a stand-in with its contract (false and the last error set on failure).
using PostFunction = BOOL(WINAPI*)(HWND, UINT, WPARAM, LPARAM);

// Posts WM_LAUNCHER_STATUS with a heap copy of text, whose ownership passes to
// the window; a copy that could not be posted is freed here. False when nothing
// was posted.
bool PostStatusText(HWND window, const wchar_t* text);

// Posts message through post, waiting for room while the window's queue is full.
// Gives up only when the post fails and window no longer exists (false).
bool PostUntilAccepted(HWND window, UINT message, WPARAM wParam, LPARAM lParam, PostFunction post);
