// One update run per user session: two launchers at once would write the same
// download file and replace the core under each other.
#pragma once

#include <windows.h>

// Takes the session's run lock into *lock. False when another launcher of this
// session holds it; true otherwise, *lock then being the lock to release, or
// null when no lock could be made (the run then goes ahead as if alone).
bool TakeRunLock(HANDLE* lock);

// Releases a lock taken by TakeRunLock; a null lock is ignored.
void ReleaseRunLock(HANDLE lock);

// Brings the window of the launcher that holds the lock to the front, if it has one yet.
void BringRunningLauncherToFront();
