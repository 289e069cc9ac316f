// Whole files in memory, and files written so that a reader sees either the old
// or the complete new content, never a part.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Reads a regular file; on failure error says why (strerror text).
bool ReadWholeFile(const char* path, std::vector<unsigned char>* bytes, char* error, size_t capacity);

// Temporary names end in this suffix, after six characters that make them unique.
constexpr char kTemporarySuffix[] = ".tmp";

// Writes data to a new file named after temporaryPath ("...XXXXXX.tmp"; the Xs
// are replaced by a unique part), flushed to disk, readable by everyone (the
// web server) whatever the umask, and removed if the process is interrupted
// (interrupt slot). Removes it again on failure.
bool WriteTemporaryFile(char* temporaryPath, int slot, const void* data, size_t size, char* error, size_t capacity);

// Copies size bytes of the regular file open as source into a new temporary
// file as WriteTemporaryFile does, streamed through a fixed buffer and with
// holes kept as holes, and returns it open for reading, so that what is
// checked afterwards is what is published. -1 with error set on failure.
int CopyToTemporary(int source, uint64_t size, char* temporaryPath, int slot, char* error, size_t capacity);

// Flushes a folder, so that renames in it survive a crash.
bool SyncFolder(const char* path, char* error, size_t capacity);
