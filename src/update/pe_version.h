// Reads what Windows reads in a PE executable (32- or 64-bit): that it is a
// program Windows can start, the fixed file version of its version resource,
// and other resources, and where signing writes into any PE image,
// bounds-checked against every malformed or truncated file. Pure code on a
// byte buffer, so it is fuzzed; the launcher and tovrin-publish share it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "update/version_text.h"

// True when image is a Windows program (not a DLL) for x64 (PE32+) or x86
// (PE32), GUI or console subsystem, whose version resource ID 1 holds a
// VS_FIXEDFILEINFO; version is then filled in. Windows reads only ID 1 and
// picks its language by the user's UI language, so a block under another ID
// does not count and every language of ID 1 must hold the same file version.
// The version is major, minor, build, revision from dwFileVersionMS (high, low
// word) and dwFileVersionLS (high, low word); is64Bit, when not null, tells a
// PE32+ (x64) program from a PE32 (x86) one. Otherwise false, version left as it
// was, and *problem names what is wrong in words fit for a message.
bool ReadPeFileVersion(const unsigned char* image, size_t size, FileVersionQuad* version, bool* is64Bit,
                       const char** problem);

// The bytes of the resource type/id (its first language) of a Windows program
// as accepted above: *data points into image. False with *problem set when the
// file is not such a program or has no such resource.
bool ReadPeResource(const unsigned char* image, size_t size, uint32_t type, uint32_t id, const unsigned char** data,
                    size_t* length, const char** problem);

// What signing writes into the headers: the header checksum and the
// certificate table's entry (its file offset and size; both zero without one).
// The loader maps the headers as they are in the file, so these are also what
// the running image was loaded from.
struct PeSignedFields {
    uint32_t checksum;
    uint32_t table;
    uint32_t tableSize;
};

// Reads them from the headers of a Windows program as ReadPeFileVersion
// accepts it: a whole file, or only its headers (as the loader mapped them).
bool ReadPeSignedFields(const unsigned char* image, size_t size, PeSignedFields* fields);

// Where the fields lie that a digest of a program as it was built leaves out,
// as file offsets: the header checksum (4 bytes) and the certificate table's
// entry (8 bytes), both changed by signing, and a seal of sealBytes at sealRva;
// the digest ends where the certificate table, which signing appends, begins.
struct PeSealLayout {
    uint64_t checksum;
    uint64_t certificateEntry;
    uint64_t seal;
    uint64_t end;
};

// Fills layout for a Windows program as ReadPeFileVersion accepts it whose
// seal lies in its sections' file data, after the headers, whose checksum and
// certificate table's entry are those of loaded, and whose certificate table
// (if any) ends the file: nothing after it, and none where loaded has none.
// False otherwise.
bool ReadPeSealLayout(const unsigned char* image, size_t size, uint64_t sealRva, uint64_t sealBytes,
                      const PeSignedFields& loaded, PeSealLayout* layout);

// Where signing writes into a PE image of any kind, as file offsets: the
// 4-byte header checksum, the 8-byte certificate table entry and the table it
// names (both 0 without one). An Authenticode digest covers all else, so it
// ends at signedEnd: at the table, or at the end of the file.
struct PeImageLayout {
    uint64_t checksum;
    uint64_t certificateEntry;
    uint32_t table;
    uint32_t tableSize;
    uint64_t signedEnd;
};

// Fills layout for the whole file image. False with *problem set when it is no
// PE image or its certificate table is not where Windows reads it (after the
// headers, ending the file).
bool ReadPeImageLayout(const unsigned char* image, size_t size, PeImageLayout* layout, const char** problem);
