// Whole-file reads and crash-safe writes for the release tool.
#include "publish/file_bytes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "publish/interrupt_cleanup.h"

bool ReadWholeFile(const char* path, std::vector<unsigned char>* bytes, char* error, size_t capacity)
{
    struct stat status;
    bool ok = false;
    size_t done = 0;
    const int file = open(path, O_RDONLY | O_CLOEXEC);
    if (file < 0) {
        snprintf(error, capacity, "%s", strerror(errno));
        return false;
    }
    if (fstat(file, &status) != 0) {
        snprintf(error, capacity, "%s", strerror(errno));
        goto cleanup;
    }
    if (!S_ISREG(status.st_mode)) {
        snprintf(error, capacity, "not a regular file");
        goto cleanup;
    }
    bytes->resize(static_cast<size_t>(status.st_size));
    while (done < bytes->size()) {
        const ssize_t got = read(file, bytes->data() + done, bytes->size() - done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            snprintf(error, capacity, "%s", got < 0 ? strerror(errno) : "the file shrank while it was read");
            goto cleanup;
        }
        done += static_cast<size_t>(got);
    }
    ok = true;

cleanup:
    close(file);
    return ok;
}

bool WriteTemporaryFile(char* temporaryPath, int slot, const void* data, size_t size, char* error, size_t capacity)
{
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    bool ok = false;
    size_t done = 0;
    const int file = CreateTemporary(temporaryPath, static_cast<int>(strlen(kTemporarySuffix)), slot);
    if (file < 0) {
        snprintf(error, capacity, "%s: %s", temporaryPath, strerror(errno));
        return false;
    }
    while (done < size) {
        const ssize_t written = write(file, bytes + done, size - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            snprintf(error, capacity, "%s: %s", temporaryPath, written < 0 ? strerror(errno) : "nothing written");
            goto cleanup;
        }
        done += static_cast<size_t>(written);
    }
    // The umask may have narrowed the mode; the web server must read the file.
    if (fchmod(file, 0644) != 0 || fsync(file) != 0) {
        snprintf(error, capacity, "%s: %s", temporaryPath, strerror(errno));
        goto cleanup;
    }
    ok = true;

cleanup:
    if (close(file) != 0 && ok) {
        snprintf(error, capacity, "%s: %s", temporaryPath, strerror(errno));
        ok = false;
    }
    if (!ok) {
        unlink(temporaryPath);
        ForgetTemporary(slot);
    }
    return ok;
}

bool SyncFolder(const char* path, char* error, size_t capacity)
{
    const int folder = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0 || fsync(folder) != 0) {
        snprintf(error, capacity, "%s: %s", path, strerror(errno));
        if (folder >= 0) {
            close(folder);
        }
        return false;
    }
    close(folder);
    return true;
}
