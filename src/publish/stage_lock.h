// The locks that let several stages of one release folder run at once safely:
// each holds the writers' lock shared while it has temporary files there, and
// the commit lock alone while it compares versions and renames, so the
// document always describes the executable beside it. A stage that gets the
// writers' lock alone knows every temporary file left there is stale.
#pragma once

#include <cstddef>
#include <cstdio>

// Lock file names in the release folder (never served: the host serves only
// the two release files).
constexpr char kCommitLockName[] = ".stage.lock";
constexpr char kWritersLockName[] = ".stage-writers.lock";

struct StageLocks {
    int writers;  // -1 when not open
    int commit;
};

// Opens both lock files in folder and takes the writers' lock shared.
bool OpenStageLocks(const char* folder, StageLocks* locks, char* error, size_t capacity);

// Takes the commit lock; when another stage holds it, says so on notes (may be
// nullptr) and waits for it.
bool TakeCommitLock(const char* folder, StageLocks* locks, FILE* notes, char* error, size_t capacity);

// When no other stage is writing, removes the temporary files that stages
// ended by a crash or SIGKILL left in folder; otherwise leaves them for later.
// Gives up the writers' lock either way.
void RemoveStaleTemporaries(const char* folder, StageLocks* locks);

void CloseStageLocks(StageLocks* locks);
