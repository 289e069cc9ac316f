// Published version text and the installed file version, and the comparison
// that decides whether the installed core is newer than the published build.
#pragma once

#include <cstdint>

// Four numbers of a version text, major first, revision last; 0 where missing.
struct PublishedVersion {
    int32_t parts[4];
};

// The installed core's file version (major, minor, build, revision) from the
// fixed part of its version resource; present is false when none was read.
struct FileVersionQuad {
    bool present;
    uint16_t parts[4];
};

// The first four runs of decimal digits in text, each a number in 32-bit
// arithmetic that wraps on overflow; any other byte separates numbers.
PublishedVersion ParseVersionText(const char* text);

// True when installed is strictly greater than published, comparing the parts
// in order as signed 32-bit values. False when installed is not present.
bool InstalledIsNewer(const FileVersionQuad& installed, const PublishedVersion& published);
