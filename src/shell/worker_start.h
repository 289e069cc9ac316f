// Starting the update worker thread.
#pragma once

#include <windows.h>

// Starts UpdateWorkerProc on a thread of its own: its handle, the caller's to
// close, or nullptr when the thread could not be created.
HANDLE StartUpdateWorker();
