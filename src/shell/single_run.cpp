// The session's run lock: a named mutex in the session's own namespace, so
// launchers of other users and sessions never wait for each other.
#include "shell/single_run.h"

#include "shell/launcher_window.h"

namespace {

constexpr wchar_t kRunLockName[] = L"Local\\TovrinToolsLauncherRun";

}  // namespace

bool TakeRunLock(HANDLE* lock)
{
    *lock = CreateMutexW(nullptr, FALSE, kRunLockName);
    if (*lock == nullptr) {
        return true;
    }
    // Abandoned: the launcher that held it ended without letting go, so the run is ours.
    const DWORD taken = WaitForSingleObject(*lock, 0);
    if (taken == WAIT_OBJECT_0 || taken == WAIT_ABANDONED) {
        return true;
    }
    CloseHandle(*lock);
    *lock = nullptr;
    return false;
}

void ReleaseRunLock(HANDLE lock)
{
    if (lock != nullptr) {
        ReleaseMutex(lock);
        CloseHandle(lock);
    }
}

void BringRunningLauncherToFront()
{
    HWND window = FindWindowW(kLauncherClassName, nullptr);
    if (window != nullptr) {
        SetForegroundWindow(window);
    }
}
