// Fixed file version and resources of a PE executable, read from its headers
// and resource section.
#include "update/pe_version.h"

#include <cstring>

namespace {

constexpr uint16_t kPe32Magic = 0x10b;
constexpr uint16_t kPe32PlusMagic = 0x20b;
constexpr uint16_t kMachineX86 = 0x14c;
constexpr uint16_t kMachineX64 = 0x8664;
constexpr uint16_t kSubsystemGui = 2;
constexpr uint16_t kSubsystemConsole = 3;
constexpr uint16_t kExecutableImage = 0x0002;
constexpr uint16_t kDllImage = 0x2000;
constexpr uint32_t kResourceDirectoryIndex = 2;
constexpr uint32_t kCertificateDirectoryIndex = 4;
constexpr uint64_t kChecksumOffset = 64;  // in the optional header, either form
constexpr uint32_t kVersionResourceType = 16;  // RT_VERSION
constexpr uint32_t kVersionResourceName = 1;   // VS_VERSION_INFO
constexpr uint32_t kFixedInfoSignature = 0xFEEF04BD;
constexpr size_t kFixedInfoBytes = 52;

const char kNotPeImage[] = "is not a Windows PE executable";
const char kTableOutside[] = "has a certificate table that is not at the end of the file, where Windows reads it";
const char kIsDll[] = "is a DLL, not a Windows executable";
const char kWrongMachine[] = "is not built for x64 or x86 processors";
const char kWrongSubsystem[] = "is not a Windows GUI or console program (a driver or other system image)";
const char kNoVersion[] = "has no version resource";
const char kNoVersionOne[] = "has no version resource with ID 1, the only one Windows reads";
const char kVersionsDisagree[] =
    "has version resources in several languages with different file versions; which one Windows reads depends on "
    "the user's language";
const char kNoResource[] = "has no such resource";
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

// What the reader needs of the headers: the section table and the resources.
struct Headers {
    uint64_t fileHeader;
    uint64_t optional;        // the optional header's offset
    uint32_t optionalSize;
    uint64_t directories;     // the data directories' offset
    uint32_t directoryCount;  // how many of them the optional header holds
    uint64_t sectionTable;
    uint32_t sectionCount;
    uint32_t resourceRva;  // 0 when the file has no resources
    bool is64Bit;
};

// File offset of the length bytes at rva, when all of them lie in the file
// data of one section.
bool RvaToOffset(const Image& image, const Headers& headers, uint64_t rva, uint64_t length, uint64_t* offset)
{
    for (uint32_t i = 0; i < headers.sectionCount; ++i) {
        const uint64_t header = headers.sectionTable + 40ull * i;
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

// The headers of any PE image, 32- or 64-bit: where its optional header and
// data directories lie, only those that the optional header really holds.
bool ReadImageHeaders(const Image& image, Headers* headers)
{
    if (image.bytes == nullptr || !Fits(image, 0, 64) || image.bytes[0] != 'M' || image.bytes[1] != 'Z') {
        return false;
    }
    const uint64_t peHeader = U32(image, 0x3C);
    if (!Fits(image, peHeader, 24) || memcmp(image.bytes + peHeader, "PE\0\0", 4) != 0) {
        return false;
    }
    headers->fileHeader = peHeader + 4;
    headers->optional = headers->fileHeader + 20;
    headers->optionalSize = U16(image, headers->fileHeader + 16);
    if (!Fits(image, headers->optional, headers->optionalSize) || headers->optionalSize < 2) {
        return false;
    }
    const uint16_t magic = U16(image, headers->optional);
    if (magic != kPe32Magic && magic != kPe32PlusMagic) {
        return false;
    }
    headers->is64Bit = magic == kPe32PlusMagic;
    const uint64_t directoryCountOffset = headers->is64Bit ? 108 : 92;
    if (headers->optionalSize < directoryCountOffset + 4) {
        return false;
    }
    headers->directories = headers->optional + directoryCountOffset + 4;
    headers->directoryCount = U32(image, headers->optional + directoryCountOffset);
    if (headers->directoryCount > (headers->optionalSize - directoryCountOffset - 4) / 8) {
        headers->directoryCount = static_cast<uint32_t>((headers->optionalSize - directoryCountOffset - 4) / 8);
    }
    return true;
}

// An executable that Windows on a PC can start as a program: PE32 for x86 or
// PE32+ for x64, not a DLL, GUI or console subsystem. Other machine types fail
// to start with error 193; drivers and native images are not programs.
bool ReadHeaders(const Image& image, Headers* headers, const char** problem)
{
    *problem = kNotPeImage;
    if (!ReadImageHeaders(image, headers)) {
        return false;
    }
    const uint16_t machine = U16(image, headers->fileHeader);
    const uint16_t characteristics = U16(image, headers->fileHeader + 18);
    if ((characteristics & kExecutableImage) == 0) {
        return false;
    }
    if ((characteristics & kDllImage) != 0) {
        *problem = kIsDll;
        return false;
    }
    if (machine != (headers->is64Bit ? kMachineX64 : kMachineX86)) {
        *problem = kWrongMachine;
        return false;
    }
    const uint16_t subsystem = U16(image, headers->optional + 68);
    if (subsystem != kSubsystemGui && subsystem != kSubsystemConsole) {
        *problem = kWrongSubsystem;
        return false;
    }
    headers->sectionTable = headers->optional + headers->optionalSize;
    headers->sectionCount = U16(image, headers->fileHeader + 2);
    if (!Fits(image, headers->sectionTable, 40ull * headers->sectionCount)) {
        return false;
    }
    const uint64_t resourceDirectory = headers->directories + 8ull * kResourceDirectoryIndex;
    headers->resourceRva = 0;
    if (headers->directoryCount > kResourceDirectoryIndex && U32(image, resourceDirectory + 4) != 0) {
        headers->resourceRva = U32(image, resourceDirectory);
    }
    *problem = nullptr;
    return true;
}

// A resource directory: the file offset of its first entry and the number of
// entries (named ones first, then those with ids in ascending order).
struct Directory {
    uint64_t entries;
    uint32_t count;
};

// directoryOffset is relative to the start of the resource data, as the
// entries' own offsets are.
bool ReadDirectory(const Image& image, const Headers& headers, uint32_t directoryOffset, Directory* directory)
{
    uint64_t header = 0;
    if (!RvaToOffset(image, headers, static_cast<uint64_t>(headers.resourceRva) + directoryOffset, 16, &header)) {
        return false;
    }
    directory->entries = header + 16;
    directory->count = static_cast<uint32_t>(U16(image, header + 12)) + U16(image, header + 14);
    return Fits(image, directory->entries, 8ull * directory->count);
}

// The subdirectory of the entry with the numeric id in directory: found (true,
// *found set, *subdirectory its offset), absent (true, *found false), or
// damaged (false).
bool FindSubdirectory(const Image& image, const Directory& directory, uint32_t id, bool* found, uint32_t* subdirectory)
{
    *found = false;
    for (uint32_t i = 0; i < directory.count; ++i) {
        const uint64_t entry = directory.entries + 8ull * i;
        // An entry with a name (high bit set) never matches an id.
        if (U32(image, entry) != id) {
            continue;
        }
        const uint32_t target = U32(image, entry + 4);
        if ((target & 0x80000000u) == 0) {
            return false;
        }
        *found = true;
        *subdirectory = target & 0x7FFFFFFFu;
        return true;
    }
    return true;
}

// The language directory of the resource type/id: each of its entries holds
// one language's data. Windows' lookup asks for one id, so a block filed under
// another id or a name is never read. *problem is noType or noId when the type
// or the id is missing.
bool FindLanguages(const Image& image, const Headers& headers, uint32_t type, uint32_t id, const char* noType,
                   const char* noId, Directory* languages, const char** problem)
{
    Directory directory;
    uint32_t offset = 0;
    bool found = false;
    *problem = noType;
    if (headers.resourceRva == 0) {
        return false;
    }
    *problem = kDamagedResources;
    if (!ReadDirectory(image, headers, 0, &directory) || !FindSubdirectory(image, directory, type, &found, &offset)) {
        return false;
    }
    if (!found) {
        *problem = noType;
        return false;
    }
    if (!ReadDirectory(image, headers, offset, &directory) ||
        !FindSubdirectory(image, directory, id, &found, &offset)) {
        return false;
    }
    if (!found) {
        *problem = noId;
        return false;
    }
    if (!ReadDirectory(image, headers, offset, languages)) {
        return false;
    }
    if (languages->count == 0) {
        *problem = noId;
        return false;
    }
    *problem = nullptr;
    return true;
}

// The data of entry index of a language directory; it must be a leaf, an
// IMAGE_RESOURCE_DATA_ENTRY whose bytes lie in one section.
bool LanguageData(const Image& image, const Headers& headers, const Directory& languages, uint32_t index,
                  uint64_t* dataOffset, uint32_t* dataSize)
{
    const uint32_t target = U32(image, languages.entries + 8ull * index + 4);
    uint64_t dataEntry = 0;
    if ((target & 0x80000000u) != 0 ||
        !RvaToOffset(image, headers, static_cast<uint64_t>(headers.resourceRva) + target, 16, &dataEntry)) {
        return false;
    }
    *dataSize = U32(image, dataEntry + 4);
    return RvaToOffset(image, headers, U32(image, dataEntry), *dataSize, dataOffset);
}

// VS_VERSIONINFO: length, value length, type, the UTF-16 key "VS_VERSION_INFO",
// padding to 32 bits, then VS_FIXEDFILEINFO.
bool ReadFixedFileInfo(const Image& image, uint64_t block, uint32_t blockSize, FileVersionQuad* version)
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

// The fields that signing writes, where the optional header holds the
// certificate table's entry.
bool ReadSignedFields(const Image& image, const Headers& headers, PeSignedFields* fields)
{
    if (headers.directoryCount <= kCertificateDirectoryIndex) {
        return false;
    }
    const uint64_t entry = headers.directories + 8ull * kCertificateDirectoryIndex;
    fields->checksum = U32(image, headers.optional + kChecksumOffset);
    fields->table = U32(image, entry);
    fields->tableSize = U32(image, entry + 4);
    return true;
}

// Where a digest of an image of fileSize bytes ends: at the certificate
// table, which signing appends, or without one at the end of the file. The
// entry holds a file offset, not an RVA; false when the table lies anywhere
// but after the headers and at the end of the file, where Windows reads it.
bool SignedEnd(const Headers& headers, const PeSignedFields& fields, uint64_t fileSize, uint64_t* end)
{
    const uint64_t entry = headers.directories + 8ull * kCertificateDirectoryIndex;
    *end = fileSize;
    if (fields.table == 0 && fields.tableSize == 0) {
        return true;
    }
    *end = fields.table;
    return fields.table >= entry + 8 && static_cast<uint64_t>(fields.table) + fields.tableSize == fileSize;
}

}  // namespace

bool ReadPeFileVersion(const unsigned char* bytes, size_t size, FileVersionQuad* version, bool* is64Bit,
                       const char** problem)
{
    const Image image = {bytes, size};
    Headers headers = {};
    Directory languages = {};
    FileVersionQuad found = {};
    if (!ReadHeaders(image, &headers, problem) ||
        !FindLanguages(image, headers, kVersionResourceType, kVersionResourceName, kNoVersion, kNoVersionOne,
                       &languages, problem)) {
        return false;
    }
    // Which language's block Windows reads depends on the user's UI language,
    // so every one of them must be readable and hold the same file version.
    for (uint32_t i = 0; i < languages.count; ++i) {
        FileVersionQuad next = {};
        uint64_t block = 0;
        uint32_t blockSize = 0;
        if (!LanguageData(image, headers, languages, i, &block, &blockSize)) {
            *problem = kDamagedResources;
            return false;
        }
        if (!ReadFixedFileInfo(image, block, blockSize, &next)) {
            *problem = kDamagedVersion;
            return false;
        }
        if (i > 0 && memcmp(next.parts, found.parts, sizeof(found.parts)) != 0) {
            *problem = kVersionsDisagree;
            return false;
        }
        found = next;
    }
    found.present = true;
    *version = found;
    if (is64Bit != nullptr) {
        *is64Bit = headers.is64Bit;
    }
    *problem = nullptr;
    return true;
}

bool ReadPeResource(const unsigned char* bytes, size_t size, uint32_t type, uint32_t id, const unsigned char** data,
                    size_t* length, const char** problem)
{
    const Image image = {bytes, size};
    Headers headers = {};
    Directory languages = {};
    uint64_t offset = 0;
    uint32_t dataSize = 0;
    if (!ReadHeaders(image, &headers, problem) ||
        !FindLanguages(image, headers, type, id, kNoResource, kNoResource, &languages, problem)) {
        return false;
    }
    if (!LanguageData(image, headers, languages, 0, &offset, &dataSize)) {
        *problem = kDamagedResources;
        return false;
    }
    *data = bytes + offset;
    *length = dataSize;
    return true;
}

bool ReadPeSignedFields(const unsigned char* bytes, size_t size, PeSignedFields* fields)
{
    const Image image = {bytes, size};
    Headers headers = {};
    const char* problem = nullptr;
    return ReadHeaders(image, &headers, &problem) && ReadSignedFields(image, headers, fields);
}

bool ReadPeSealLayout(const unsigned char* bytes, size_t size, uint64_t sealRva, uint64_t sealBytes,
                      const PeSignedFields& loaded, PeSealLayout* layout)
{
    const Image image = {bytes, size};
    Headers headers = {};
    PeSignedFields fields = {};
    const char* problem = nullptr;
    if (!ReadHeaders(image, &headers, &problem) || !ReadSignedFields(image, headers, &fields) ||
        !RvaToOffset(image, headers, sealRva, sealBytes, &layout->seal)) {
        return false;
    }
    // The digest leaves these fields out, so they are held to the loaded image's
    // instead: of the table, which is never mapped, only place and size are known.
    if (fields.checksum != loaded.checksum || fields.table != loaded.table || fields.tableSize != loaded.tableSize) {
        return false;
    }
    layout->checksum = headers.optional + kChecksumOffset;
    layout->certificateEntry = headers.directories + 8ull * kCertificateDirectoryIndex;
    if (!SignedEnd(headers, fields, image.size, &layout->end)) {
        return false;
    }
    return layout->seal >= layout->certificateEntry + 8 && layout->seal + sealBytes <= layout->end;
}

bool ReadPeImageLayout(const unsigned char* bytes, size_t size, PeImageLayout* layout, const char** problem)
{
    const Image image = {bytes, size};
    Headers headers = {};
    PeSignedFields fields = {};
    *problem = kNotPeImage;
    if (!ReadImageHeaders(image, &headers) || !ReadSignedFields(image, headers, &fields)) {
        return false;
    }
    layout->checksum = headers.optional + kChecksumOffset;
    layout->certificateEntry = headers.directories + 8ull * kCertificateDirectoryIndex;
    layout->table = fields.table;
    layout->tableSize = fields.tableSize;
    if (!SignedEnd(headers, fields, image.size, &layout->signedEnd)) {
        *problem = kTableOutside;
        return false;
    }
    *problem = nullptr;
    return true;
}
