// Installed file version through version.dll: size, block from the process
// heap, the root block's fixed file information.
#include "update/installed_version.h"

#include <windows.h>

bool ReadInstalledVersion(const wchar_t* path, FileVersionQuad* version)
{
    void* block = nullptr;
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedBytes = 0;
    DWORD handle = 0;
    DWORD blockBytes = 0;
    bool ok = false;

    *version = FileVersionQuad{};
    blockBytes = GetFileVersionInfoSizeW(path, &handle);
    if (blockBytes == 0) {
        return false;
    }
    block = HeapAlloc(GetProcessHeap(), 0, blockBytes);
    if (block == nullptr) {
        goto cleanup;
    }
    if (!GetFileVersionInfoW(path, 0, blockBytes, block)) {
        goto cleanup;
    }
    // A block shorter than the fixed information would be read past its end.
    if (!VerQueryValueW(block, L"\\", reinterpret_cast<void**>(&fixed), &fixedBytes) || fixed == nullptr ||
        fixedBytes < sizeof(VS_FIXEDFILEINFO)) {
        goto cleanup;
    }
    version->parts[0] = HIWORD(fixed->dwFileVersionMS);
    version->parts[1] = LOWORD(fixed->dwFileVersionMS);
    version->parts[2] = HIWORD(fixed->dwFileVersionLS);
    version->parts[3] = LOWORD(fixed->dwFileVersionLS);
    version->present = true;
    ok = true;

cleanup:
    if (block != nullptr) {
        HeapFree(GetProcessHeap(), 0, block);
    }
    return ok;
}
