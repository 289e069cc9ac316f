// One update run per user: two launchers at once would write the same download
// file and replace the core under each other.
#pragma once

#include <windows.h>

// How long a second launcher waits for the running one's window before it says
// that a launcher is running (one that is starting has none yet).
constexpr DWORD kRunningWindowWaitMs = 5000;

// The user's run lock: a mutex only administrators can create or open, and the
// private namespace it lives in where the system has them (both null when none).
struct RunLock {
    HANDLE mutex;
    HANDLE space;
};

// Takes the user's run lock into *lock. False when another launcher holds it;
// true otherwise, *lock then being the lock to release, or empty when no lock
// could be made or the name was taken by something that is no launcher's lock
// (the run then goes ahead as if alone).
bool TakeRunLock(RunLock* lock);

// Releases a lock taken by TakeRunLock; an empty lock is ignored.
void ReleaseRunLock(const RunLock& lock);

// Brings the window of the launcher that holds the lock to the front, waiting
// up to waitMs for it to appear. False when no launcher window appeared.
bool BringRunningLauncherToFront(DWORD waitMs);
