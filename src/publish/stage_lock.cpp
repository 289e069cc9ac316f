// Locks of a release folder, and the cleaning of stale temporary files.
#include "publish/stage_lock.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "publish/file_bytes.h"
#include "publish/release_stage.h"

namespace {

constexpr size_t kPathBytes = 4096;

bool Lock(int file, int operation)
{
    int result = 0;
    do {
        result = flock(file, operation);
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

int OpenLockFile(const char* folder, const char* name, char* error, size_t capacity)
{
    char path[kPathBytes];
    snprintf(path, sizeof(path), "%s/%s", folder, name);
    // Opened for writing: over NFS an exclusive lock needs a file open for writing.
    const int file = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (file < 0) {
        snprintf(error, capacity, "cannot open the lock file %s: %s", path, strerror(errno));
    }
    return file;
}

// ".bootstrap_exe.<anything>.tmp" or ".bootstrap_meta.<anything>.tmp": the
// names stages give their temporary files, now and in earlier versions.
bool IsTemporaryName(const char* name)
{
    const size_t length = strlen(name);
    const size_t suffix = strlen(kTemporarySuffix);
    if (length <= suffix || strcmp(name + length - suffix, kTemporarySuffix) != 0 || name[0] != '.') {
        return false;
    }
    for (const char* release : {kExecutableName, kDocumentName, kLauncherName}) {
        const size_t releaseLength = strlen(release);
        if (strncmp(name + 1, release, releaseLength) == 0 && name[1 + releaseLength] == '.') {
            return true;
        }
    }
    return false;
}

}  // namespace

bool OpenStageLocks(const char* folder, StageLocks* locks, char* error, size_t capacity)
{
    locks->writers = OpenLockFile(folder, kWritersLockName, error, capacity);
    locks->commit = -1;
    if (locks->writers < 0) {
        return false;
    }
    if (!Lock(locks->writers, LOCK_SH)) {
        snprintf(error, capacity, "cannot lock %s/%s: %s", folder, kWritersLockName, strerror(errno));
        return false;
    }
    locks->commit = OpenLockFile(folder, kCommitLockName, error, capacity);
    return locks->commit >= 0;
}

bool TakeCommitLock(const char* folder, StageLocks* locks, FILE* notes, char* error, size_t capacity)
{
    if (Lock(locks->commit, LOCK_EX | LOCK_NB)) {
        return true;
    }
    if (errno != EWOULDBLOCK) {
        snprintf(error, capacity, "cannot lock %s/%s: %s", folder, kCommitLockName, strerror(errno));
        return false;
    }
    if (notes != nullptr) {
        fprintf(notes, "tovrin-publish: waiting for another stage of %s to finish\n", folder);
        fflush(notes);
    }
    if (!Lock(locks->commit, LOCK_EX)) {
        snprintf(error, capacity, "cannot lock %s/%s: %s", folder, kCommitLockName, strerror(errno));
        return false;
    }
    return true;
}

void RemoveStaleTemporaries(const char* folder, StageLocks* locks)
{
    char path[kPathBytes];
    // Converting the shared lock gives it up first; without the exclusive one
    // some other stage is writing, and its files are not stale.
    if (locks->writers < 0 || !Lock(locks->writers, LOCK_EX | LOCK_NB)) {
        return;
    }
    DIR* listing = opendir(folder);
    if (listing != nullptr) {
        for (const dirent* entry = readdir(listing); entry != nullptr; entry = readdir(listing)) {
            if (IsTemporaryName(entry->d_name)) {
                snprintf(path, sizeof(path), "%s/%s", folder, entry->d_name);
                unlink(path);
            }
        }
        closedir(listing);
    }
    Lock(locks->writers, LOCK_UN);
}

void CloseStageLocks(StageLocks* locks)
{
    if (locks->commit >= 0) {
        close(locks->commit);
        locks->commit = -1;
    }
    if (locks->writers >= 0) {
        close(locks->writers);
        locks->writers = -1;
    }
}
