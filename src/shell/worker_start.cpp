// Starts the update worker on its own thread; it reports only through posted
// messages, and the process waits for it only once its window is gone.
#include "shell/worker_start.h"

#include <windows.h>

#include "update/update_run.h"

HANDLE StartUpdateWorker()
{
    return CreateThread(nullptr, 0, UpdateWorkerProc, nullptr, 0, nullptr);
}
