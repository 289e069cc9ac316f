// The launcher's seal: the build writes the digest of the finished exe into
// kImageSeal (tools/seal_image), so the running image knows which bytes it was
// loaded from and can recognise them in a file, whatever name the file has.
#include "update/own_image.h"

#include <cstring>

#include "transfer/file_digest.h"
#include "update/pe_version.h"

namespace {

constexpr size_t kSealMarkerBytes = 16;

}  // namespace

// The marker lets the build find the seal; the digest after it starts as
// zeros. Volatile, so that reads see the bytes the build wrote, not the zeros
// the compiler knows.
extern "C" __attribute__((used)) const volatile unsigned char kImageSeal[kSealMarkerBytes + kSha256Bytes] = {
    'T', 'o', 'v', 'r', 'i', 'n', 'I', 'm', 'a', 'g', 'e', 'S', 'e', 'a', 'l', ':'};

bool IsRunningImage(HANDLE file)
{
    HANDLE mapping = nullptr;
    const uint8_t* view = nullptr;
    LARGE_INTEGER size = {};
    PeSealLayout layout = {};
    uint8_t seal[kSha256Bytes];
    uint8_t digest[kSha256Bytes];
    uint8_t unsealed[kSha256Bytes] = {};
    bool ok = false;

    const uint64_t sealRva = reinterpret_cast<uintptr_t>(kImageSeal) + kSealMarkerBytes -
                             reinterpret_cast<uintptr_t>(GetModuleHandleW(nullptr));
    for (size_t i = 0; i < kSha256Bytes; ++i) {
        seal[i] = kImageSeal[kSealMarkerBytes + i];
    }
    if (memcmp(seal, unsealed, kSha256Bytes) == 0 || !GetFileSizeEx(file, &size) || size.QuadPart <= 0) {
        return false;
    }
    mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping == nullptr) {
        goto cleanup;
    }
    view = static_cast<const uint8_t*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
    if (view == nullptr ||
        !ReadPeSealLayout(view, static_cast<size_t>(size.QuadPart), sealRva, kSha256Bytes, &layout) ||
        memcmp(view + layout.seal, seal, kSha256Bytes) != 0) {
        goto cleanup;
    }
    {
        const ByteRange parts[] = {
            {view, layout.checksum},
            {view + layout.checksum + 4, layout.certificateEntry - layout.checksum - 4},
            {view + layout.certificateEntry + 8, layout.seal - layout.certificateEntry - 8},
            {view + layout.seal + kSha256Bytes, layout.end - layout.seal - kSha256Bytes},
        };
        ok = ComputeSha256(parts, sizeof(parts) / sizeof(parts[0]), digest) && memcmp(digest, seal, kSha256Bytes) == 0;
    }

cleanup:
    if (view != nullptr) {
        UnmapViewOfFile(view);
    }
    if (mapping != nullptr) {
        CloseHandle(mapping);
    }
    return ok;
}
