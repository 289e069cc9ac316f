// Installed file version from a read-only view of the held file: only its
// headers and resource section are touched, however large the file.
#include "update/installed_version.h"

#include "update/pe_version.h"

bool ReadInstalledVersion(HANDLE file, FileVersionQuad* version)
{
    HANDLE mapping = nullptr;
    const unsigned char* view = nullptr;
    LARGE_INTEGER size = {};
    const char* problem = nullptr;
    bool ok = false;

    *version = FileVersionQuad{};
    // An empty file cannot be mapped; it has no version either.
    if (file == INVALID_HANDLE_VALUE || !GetFileSizeEx(file, &size) || size.QuadPart <= 0) {
        return false;
    }
    mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping == nullptr) {
        goto cleanup;
    }
    view = static_cast<const unsigned char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
    if (view == nullptr) {
        goto cleanup;
    }
    ok = ReadPeFileVersion(view, static_cast<size_t>(size.QuadPart), version, nullptr, &problem);

cleanup:
    if (view != nullptr) {
        UnmapViewOfFile(view);
    }
    if (mapping != nullptr) {
        CloseHandle(mapping);
    }
    return ok;
}
