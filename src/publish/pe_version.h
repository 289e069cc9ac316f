// Reads the fixed file version of a Windows PE executable (32- or 64-bit) from
// the version resource in its resource section, bounds-checked against every
// malformed or truncated file. Pure code on a byte buffer, so it is fuzzed.
#pragma once

#include <cstddef>
#include <cstdint>

// The fixed file version as the launcher reads it: major, minor, build, revision
// from dwFileVersionMS (high, low word) and dwFileVersionLS (high, low word).
struct PeFileVersion {
    uint16_t parts[4];
    bool is64Bit;  // PE32+ (true) or PE32 (false)
};

// True when image is a Windows PE executable (not a DLL) whose RT_VERSION
// resource holds a VS_FIXEDFILEINFO; version is then filled in. Otherwise
// false, and *problem names what is wrong in words fit for a message.
bool ReadPeFileVersion(const unsigned char* image, size_t size, PeFileVersion* version, const char** problem);

// "major.minor.build.revision" into text (at least 24 bytes).
void FormatPeFileVersion(const PeFileVersion& version, char* text, size_t capacity);
