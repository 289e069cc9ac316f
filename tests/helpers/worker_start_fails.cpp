// Links into a launcher variant whose update worker can never start, so tests
// can see what the user gets when thread creation fails.
#include "shell/worker_start.h"

HANDLE StartUpdateWorker()
{
    return nullptr;
}
