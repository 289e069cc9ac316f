// The launcher's seal: the build writes the digest of the finished exe into
// kImageSeal (tools/seal_image), so the running image knows which bytes it was
// loaded from and, with what signing wrote into its mapped headers, can
// recognise them in a file, whatever name the file has.
#include "update/own_image.h"

#include <windows.h>

#include <cstring>

#include "transfer/file_digest.h"
#include "update/pe_version.h"

namespace {

constexpr size_t kSealMarkerBytes = 16;

// What signing wrote into the headers of the file this process was loaded
// from: the loader maps the headers as they are in the file (the table itself
// is not mapped). Only the region the headers were mapped into is read.
bool LoadedSignedFields(PeSignedFields* fields)
{
    const auto* base = reinterpret_cast<const unsigned char*>(GetModuleHandleW(nullptr));
    MEMORY_BASIC_INFORMATION region = {};
    return VirtualQuery(base, &region, sizeof(region)) == sizeof(region) && region.BaseAddress == base &&
           ReadPeSignedFields(base, region.RegionSize, fields);
}

}  // namespace

// The marker lets the build find the seal; the digest after it starts as
// zeros. Volatile, so that reads see the bytes the build wrote, not the zeros
// the compiler knows.
extern "C" __attribute__((used)) const volatile unsigned char kImageSeal[kSealMarkerBytes + kSha256Bytes] = {
    'T', 'o', 'v', 'r', 'i', 'n', 'I', 'm', 'a', 'g', 'e', 'S', 'e', 'a', 'l', ':'};

bool IsRunningImage(const uint8_t* bytes, size_t size)
{
    PeSignedFields loaded = {};
    PeSealLayout layout = {};
    uint8_t seal[kSha256Bytes];
    uint8_t digest[kSha256Bytes];
    uint8_t unsealed[kSha256Bytes] = {};

    const uint64_t sealRva = reinterpret_cast<uintptr_t>(kImageSeal) + kSealMarkerBytes -
                             reinterpret_cast<uintptr_t>(GetModuleHandleW(nullptr));
    for (size_t i = 0; i < kSha256Bytes; ++i) {
        seal[i] = kImageSeal[kSealMarkerBytes + i];
    }
    if (memcmp(seal, unsealed, kSha256Bytes) == 0 || !LoadedSignedFields(&loaded) ||
        !ReadPeSealLayout(bytes, size, sealRva, kSha256Bytes, loaded, &layout) ||
        memcmp(bytes + layout.seal, seal, kSha256Bytes) != 0) {
        return false;
    }
    const ByteRange parts[] = {
        {bytes, layout.checksum},
        {bytes + layout.checksum + 4, layout.certificateEntry - layout.checksum - 4},
        {bytes + layout.certificateEntry + 8, layout.seal - layout.certificateEntry - 8},
        {bytes + layout.seal + kSha256Bytes, layout.end - layout.seal - kSha256Bytes},
    };
    return ComputeSha256(parts, sizeof(parts) / sizeof(parts[0]), digest) && memcmp(digest, seal, kSha256Bytes) == 0;
}
