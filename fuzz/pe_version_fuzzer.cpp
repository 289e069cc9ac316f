// Feeds arbitrary bytes to the PE version, resource and seal layout readers, in a heap
// block of exactly their size so AddressSanitizer catches any read past the
// file; the checks below trap on a broken result contract.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "update/pe_version.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<unsigned char> image(data, data + size);
    FileVersionQuad version = {};
    bool is64Bit = false;
    const char* problem = nullptr;
    const bool ok = ReadPeFileVersion(image.data(), image.size(), &version, &is64Bit, &problem);
    if (ok != (problem == nullptr)) {
        abort();
    }
    // The resource lookup behind check --launcher: RT_RCDATA 1 must lie inside the file.
    const unsigned char* resource = nullptr;
    size_t length = 0;
    if (ReadPeResource(image.data(), image.size(), 10, 1, &resource, &length, &problem) &&
        (resource < image.data() || length > image.size() || resource + length > image.data() + image.size())) {
        abort();
    }
    // The seal check of the launcher's own exe: every range it hashes must lie inside the file, in order.
    // Its signed fields are held to the file's own, as a genuine file's are to the loaded image's.
    PeSealLayout layout = {};
    PeSignedFields loaded = {};
    const uint64_t sealRva = size >= 2 ? static_cast<uint64_t>(data[size - 1]) << 12 | data[size - 2] << 4 : 0;
    if (ReadPeSignedFields(image.data(), image.size(), &loaded) &&
        ReadPeSealLayout(image.data(), image.size(), sealRva, 32, loaded, &layout) &&
        !(layout.checksum + 4 <= layout.certificateEntry && layout.certificateEntry + 8 <= layout.seal &&
          layout.seal + 32 <= layout.end && layout.end <= image.size())) {
        abort();
    }
    // The ranges tovrin-publish digests: in order, inside the file.
    PeImageLayout imageLayout = {};
    if (ReadPeImageLayout(image.data(), image.size(), &imageLayout, &problem) &&
        !(imageLayout.checksum + 4 <= imageLayout.certificateEntry &&
          imageLayout.certificateEntry + 8 <= imageLayout.signedEnd && imageLayout.signedEnd <= image.size())) {
        abort();
    }
    return 0;
}
