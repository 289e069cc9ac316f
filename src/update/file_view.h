// A read-only view of a whole file, for readers that need only some of its
// bytes: only what they touch is read from the disk.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

struct FileView {
    HANDLE mapping;
    const uint8_t* bytes;
    size_t size;
};

// Maps the file open as file (read access). False, with nothing to unmap, for
// an empty file (which cannot be mapped) or one that cannot be.
bool MapFileView(HANDLE file, FileView* view);

void UnmapFileView(FileView* view);
