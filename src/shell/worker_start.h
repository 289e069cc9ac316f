// Starting the update worker thread.
#pragma once

// Starts UpdateWorkerProc on a thread of its own and lets it run detached.
// False when the thread could not be created.
bool StartUpdateWorker();
