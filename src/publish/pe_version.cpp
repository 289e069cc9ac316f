// Fixed file version of a PE executable, read from its resource section.
#include "publish/pe_version.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr uint16_t kPe32Magic = 0x10b;
constexpr uint16_t kPe32PlusMagic = 0x20b;
constexpr uint16_t kExecutableImage = 0x0002;
constexpr uint16_t kDllImage = 0x2000;
constexpr uint32_t kResourceDirectoryIndex = 2;
constexpr uint32_t kVersionResourceType = 16;  // RT_VERSION
constexpr uint32_t kVersionResourceName = 1;   // VS_VERSION_INFO
constexpr uint32_t kFixedInfoSignature = 0xFEEF04BD;
constexpr size_t kFixedInfoBytes = 52;

const char kNotExecutable[] = "is not a Windows PE executable";
const char kIsDll[] = "is a DLL, not a Windows executable";
const char kNoVersion[] = "has no version resource";
const char kDamagedResources[] = "has a resource section that points outside the file";
const char kDamagedVersion[] = "has a damaged version resource";

// A view of the file; every read is checked against its size in 64-bit
// arithmetic, so offsets taken from the file can never wrap.
struct Image {
    const unsigned char* bytes;
    uint64_t size;
};

bool Fits(const Image& image, uint64_t offset, uint64_t length)
{
    return offset <= image.size && length <= image.size - offset;
}

uint16_t U16(const Image& image, uint64_t offset)
{
    return static_cast<uint16_t>(image.bytes[offset] | image.bytes[offset + 1] << 8);
}

uint32_t U32(const Image& image, uint64_t offset)
{
    return static_cast<uint32_t>(U16(image, offset)) | static_cast<uint32_t>(U16(image, offset + 2)) << 16;
}

// The section table, as far as the reader needs it.
struct Sections {
    uint64_t tableOffset;
    uint32_t count;
};

// File offset of the length bytes at rva, when all of them lie in the file
// data of one section.
bool RvaToOffset(const Image& image, const Sections& sections, uint64_t rva, uint64_t length, uint64_t* offset)
{
    for (uint32_t i = 0; i < sections.count; ++i) {
        const uint64_t header = sections.tableOffset + 40ull * i;
        const uint32_t virtualSize = U32(image, header + 8);
        const uint32_t virtualAddress = U32(image, header + 12);
        const uint32_t rawSize = U32(image, header + 16);
        const uint32_t rawPointer = U32(image, header + 20);
        // Bytes past the mapped size are not part of the loaded section.
        const uint64_t usable = (virtualSize != 0 && virtualSize < rawSize) ? virtualSize : rawSize;
        if (rva < virtualAddress || rva - virtualAddress >= usable) {
            continue;
        }
        const uint64_t within = rva - virtualAddress;
        if (length > usable - within || !Fits(image, rawPointer + within, length)) {
            return false;
        }
        *offset = rawPointer + within;
        return true;
    }
    return false;
}

// The resource directory entry for id (or the first entry when id is 0) in the
// directory at directoryOffset within the resource data; entryValue receives its
// OffsetToData. Returns false with *problem set when it is missing or unreadable.
bool FindResourceEntry(const Image& image, const Sections& sections, uint32_t resourceRva, uint32_t directoryOffset,
                       uint32_t id, uint32_t* entryValue, const char** problem)
{
    uint64_t directory = 0;
    if (!RvaToOffset(image, sections, static_cast<uint64_t>(resourceRva) + directoryOffset, 16, &directory)) {
        *problem = kDamagedResources;
        return false;
    }
    const uint32_t named = U16(image, directory + 12);
    const uint32_t total = named + U16(image, directory + 14);
    if (!Fits(image, directory + 16, 8ull * total)) {
        *problem = kDamagedResources;
        return false;
    }
    // Named entries come first; an entry with a name never matches an id.
    for (uint32_t i = 0; i < total; ++i) {
        const uint64_t entry = directory + 16 + 8ull * i;
        const uint32_t name = U32(image, entry);
        if (id == 0 || ((name & 0x80000000u) == 0 && name == id)) {
            *entryValue = U32(image, entry + 4);
            return true;
        }
    }
    *problem = kNoVersion;
    return false;
}

bool FindVersionResource(const Image& image, const Sections& sections, uint32_t resourceRva, uint64_t* dataOffset,
                         uint32_t* dataSize, const char** problem)
{
    uint32_t typeEntry = 0;
    uint32_t nameEntry = 0;
    uint32_t languageEntry = 0;
    if (!FindResourceEntry(image, sections, resourceRva, 0, kVersionResourceType, &typeEntry, problem)) {
        return false;
    }
    if ((typeEntry & 0x80000000u) == 0) {
        *problem = kDamagedResources;
        return false;
    }
    // The launcher's version API asks for name 1; a file that names it otherwise
    // still has one version block, and the first one is what Windows finds.
    const uint32_t typeDirectory = typeEntry & 0x7FFFFFFFu;
    if (!FindResourceEntry(image, sections, resourceRva, typeDirectory, kVersionResourceName, &nameEntry, problem) &&
        !FindResourceEntry(image, sections, resourceRva, typeDirectory, 0, &nameEntry, problem)) {
        return false;
    }
    if ((nameEntry & 0x80000000u) == 0) {
        *problem = kDamagedResources;
        return false;
    }
    if (!FindResourceEntry(image, sections, resourceRva, nameEntry & 0x7FFFFFFFu, 0, &languageEntry, problem)) {
        return false;
    }
    // The third level must be a leaf: an IMAGE_RESOURCE_DATA_ENTRY.
    uint64_t dataEntry = 0;
    if ((languageEntry & 0x80000000u) != 0 ||
        !RvaToOffset(image, sections, static_cast<uint64_t>(resourceRva) + languageEntry, 16, &dataEntry)) {
        *problem = kDamagedResources;
        return false;
    }
    *dataSize = U32(image, dataEntry + 4);
    if (!RvaToOffset(image, sections, U32(image, dataEntry), *dataSize, dataOffset)) {
        *problem = kDamagedResources;
        return false;
    }
    return true;
}

// VS_VERSIONINFO: length, value length, type, the UTF-16 key "VS_VERSION_INFO",
// padding to 32 bits, then VS_FIXEDFILEINFO.
bool ReadFixedFileInfo(const Image& image, uint64_t block, uint32_t blockSize, PeFileVersion* version)
{
    static const char kKey[] = "VS_VERSION_INFO";
    const uint64_t keyBytes = 2 * sizeof(kKey);  // UTF-16, terminator included
    const uint64_t fixedInfo = (6 + keyBytes + 3) & ~3ull;
    if (blockSize < fixedInfo + kFixedInfoBytes) {
        return false;
    }
    const uint32_t length = U16(image, block);
    const uint32_t valueLength = U16(image, block + 2);
    if (length < fixedInfo + kFixedInfoBytes || length > blockSize || valueLength < kFixedInfoBytes) {
        return false;
    }
    for (uint64_t i = 0; i < sizeof(kKey); ++i) {
        if (U16(image, block + 6 + 2 * i) != static_cast<unsigned char>(kKey[i])) {
            return false;
        }
    }
    if (U32(image, block + fixedInfo) != kFixedInfoSignature) {
        return false;
    }
    const uint32_t versionMs = U32(image, block + fixedInfo + 8);
    const uint32_t versionLs = U32(image, block + fixedInfo + 12);
    version->parts[0] = static_cast<uint16_t>(versionMs >> 16);
    version->parts[1] = static_cast<uint16_t>(versionMs & 0xFFFF);
    version->parts[2] = static_cast<uint16_t>(versionLs >> 16);
    version->parts[3] = static_cast<uint16_t>(versionLs & 0xFFFF);
    return true;
}

}  // namespace

bool ReadPeFileVersion(const unsigned char* bytes, size_t size, PeFileVersion* version, const char** problem)
{
    const Image image = {bytes, size};
    *problem = kNotExecutable;
    if (bytes == nullptr || !Fits(image, 0, 64) || bytes[0] != 'M' || bytes[1] != 'Z') {
        return false;
    }
    const uint64_t peHeader = U32(image, 0x3C);
    if (!Fits(image, peHeader, 24) || memcmp(bytes + peHeader, "PE\0\0", 4) != 0) {
        return false;
    }
    const uint64_t fileHeader = peHeader + 4;
    const Sections sectionsHeader = {0, U16(image, fileHeader + 2)};
    const uint32_t optionalSize = U16(image, fileHeader + 16);
    const uint16_t characteristics = U16(image, fileHeader + 18);
    const uint64_t optional = fileHeader + 20;
    if (!Fits(image, optional, optionalSize) || optionalSize < 2) {
        return false;
    }
    const uint16_t magic = U16(image, optional);
    if (magic != kPe32Magic && magic != kPe32PlusMagic) {
        return false;
    }
    const bool is64Bit = magic == kPe32PlusMagic;
    const uint64_t directoryCountOffset = is64Bit ? 108 : 92;
    if (optionalSize < directoryCountOffset + 4) {
        return false;
    }
    if ((characteristics & kExecutableImage) == 0) {
        return false;
    }
    if ((characteristics & kDllImage) != 0) {
        *problem = kIsDll;
        return false;
    }
    Sections sections = sectionsHeader;
    sections.tableOffset = optional + optionalSize;
    if (!Fits(image, sections.tableOffset, 40ull * sections.count)) {
        return false;
    }

    const uint32_t directoryCount = U32(image, optional + directoryCountOffset);
    const uint64_t resourceDirectory = optional + directoryCountOffset + 4 + 8ull * kResourceDirectoryIndex;
    *problem = kNoVersion;
    if (directoryCount <= kResourceDirectoryIndex || resourceDirectory + 8 > optional + optionalSize) {
        return false;
    }
    const uint32_t resourceRva = U32(image, resourceDirectory);
    if (resourceRva == 0 || U32(image, resourceDirectory + 4) == 0) {
        return false;
    }

    uint64_t block = 0;
    uint32_t blockSize = 0;
    if (!FindVersionResource(image, sections, resourceRva, &block, &blockSize, problem)) {
        return false;
    }
    PeFileVersion found = {};
    found.is64Bit = is64Bit;
    if (!ReadFixedFileInfo(image, block, blockSize, &found)) {
        *problem = kDamagedVersion;
        return false;
    }
    *version = found;
    *problem = nullptr;
    return true;
}

void FormatPeFileVersion(const PeFileVersion& version, char* text, size_t capacity)
{
    snprintf(text, capacity, "%u.%u.%u.%u", version.parts[0], version.parts[1], version.parts[2], version.parts[3]);
}
