// Posting the run's finish to a window whose queue may be full.
#include <gtest/gtest.h>

#include <windows.h>

#include "common/window_post.h"
#include "shell/launcher_state.h"

namespace {

// Stands in for PostMessageW on a queue that stays full for the first
// g_refusalsLeft posts (Windows refuses posts beyond 10,000 until the window
// drains its queue; Wine accepted 200,000 here, so a full queue cannot be made).
int g_refusalsLeft = 0;
int g_refusedPosts = 0;

BOOL WINAPI PostToQueueThatMayBeFull(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (g_refusalsLeft > 0) {
        --g_refusalsLeft;
        ++g_refusedPosts;
        SetLastError(ERROR_NOT_ENOUGH_QUOTA);
        return FALSE;
    }
    return PostMessageW(window, message, wParam, lParam);
}

}  // namespace

TEST(PostUntilAccepted, FinishWaitsForRoomAndGivesUpOnlyWhenTheWindowIsGone)
{
    const UINT kFinishStandIn = WM_APP + 40;
    HWND window = CreateWindowExW(0, L"STATIC", nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    g_refusalsLeft = 5;
    g_refusedPosts = 0;
    EXPECT_TRUE(PostUntilAccepted(window, kFinishStandIn, DoneLaunch, 0, PostToQueueThatMayBeFull));
    EXPECT_EQ(g_refusedPosts, 5);
    int finishes = 0;
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        finishes += message.message == kFinishStandIn && message.wParam == DoneLaunch ? 1 : 0;
    }
    EXPECT_EQ(finishes, 1);

    // Once the window is gone nobody drains the queue any more: give up.
    DestroyWindow(window);
    g_refusalsLeft = 1000000;
    EXPECT_FALSE(PostUntilAccepted(window, kFinishStandIn, DoneLaunch, 0, PostToQueueThatMayBeFull));
    g_refusalsLeft = 0;
}
