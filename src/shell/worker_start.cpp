// Starts the update worker on its own thread; the handle is not kept because
// nothing ever waits for the worker: it reports only through posted messages.
#include "shell/worker_start.h"

#include <windows.h>

#include "update/update_run.h"

bool StartUpdateWorker()
{
    HANDLE thread = CreateThread(nullptr, 0, UpdateWorkerProc, nullptr, 0, nullptr);
    if (thread == nullptr) {
        return false;
    }
    CloseHandle(thread);
    return true;
}
