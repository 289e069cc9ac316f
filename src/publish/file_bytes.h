// Whole files in memory, and files written so that a reader sees either the old
// or the complete new content, never a part.
#pragma once

#include <cstddef>
#include <vector>

// Reads a regular file; on failure error says why (strerror text).
bool ReadWholeFile(const char* path, std::vector<unsigned char>* bytes, char* error, size_t capacity);

// Writes data to a new file at temporaryPath (which must not exist), flushed
// to disk, readable by everyone (the web server). Removes it again on failure.
bool WriteNewFile(const char* temporaryPath, const void* data, size_t size, char* error, size_t capacity);

// Flushes a folder, so that renames in it survive a crash.
bool SyncFolder(const char* path, char* error, size_t capacity);
