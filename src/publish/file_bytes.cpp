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

namespace {

constexpr size_t kCopyChunkBytes = 1 << 20;

// Copies [from, to) of source into file at the same offsets.
bool CopyRange(int source, int file, uint64_t from, uint64_t to, std::vector<unsigned char>* buffer, char* error,
               size_t capacity)
{
    while (from < to) {
        const size_t wanted = to - from < buffer->size() ? static_cast<size_t>(to - from) : buffer->size();
        const ssize_t got = pread(source, buffer->data(), wanted, static_cast<off_t>(from));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            snprintf(error, capacity, "%s", got < 0 ? strerror(errno) : "the file shrank while it was read");
            return false;
        }
        for (ssize_t done = 0; done < got;) {
            const ssize_t written = pwrite(file, buffer->data() + done, static_cast<size_t>(got - done),
                                           static_cast<off_t>(from + static_cast<uint64_t>(done)));
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written <= 0) {
                snprintf(error, capacity, "%s", written < 0 ? strerror(errno) : "nothing written");
                return false;
            }
            done += written;
        }
        from += static_cast<uint64_t>(got);
    }
    return true;
}

}  // namespace

int CopyToTemporary(int source, uint64_t size, char* temporaryPath, int slot, char* error, size_t capacity)
{
    std::vector<unsigned char> buffer(kCopyChunkBytes);
    uint64_t offset = 0;
    bool ok = false;
    const int file = CreateTemporary(temporaryPath, static_cast<int>(strlen(kTemporarySuffix)), slot);
    if (file < 0) {
        snprintf(error, capacity, "%s: %s", temporaryPath, strerror(errno));
        return -1;
    }
    while (offset < size) {
        // Only the data is copied; a file system without SEEK_DATA has none
        // of holes, and everything is copied.
        off_t data = lseek(source, static_cast<off_t>(offset), SEEK_DATA);
        if (data < 0 && errno == ENXIO) {
            break;
        }
        data = data < 0 ? static_cast<off_t>(offset) : data;
        off_t hole = lseek(source, data, SEEK_HOLE);
        hole = hole < 0 || static_cast<uint64_t>(hole) > size ? static_cast<off_t>(size) : hole;
        if (!CopyRange(source, file, static_cast<uint64_t>(data), static_cast<uint64_t>(hole), &buffer, error,
                       capacity)) {
            goto cleanup;
        }
        offset = static_cast<uint64_t>(hole);
    }
    // The umask may have narrowed the mode; the web server must read the file.
    if (ftruncate(file, static_cast<off_t>(size)) != 0 || fchmod(file, 0644) != 0 || fsync(file) != 0) {
        snprintf(error, capacity, "%s", strerror(errno));
        goto cleanup;
    }
    ok = true;

cleanup:
    if (!ok) {
        close(file);
        unlink(temporaryPath);
        ForgetTemporary(slot);
        return -1;
    }
    return file;
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
