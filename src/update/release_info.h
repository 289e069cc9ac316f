// The release metadata document as the launcher reads it: each quoted member
// name found as plain text, then the value after it. No JSON parser on purpose.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kReleaseVersionBytes = 64;  // at most 63 bytes of text
constexpr size_t kReleaseDigestBytes = 80;   // at most 79 bytes of text

// What the update host publishes about the current core build. An empty text
// means the document did not give it; size is 0 when absent.
struct ReleaseInfo {
    char version[kReleaseVersionBytes];
    char sha256[kReleaseDigestBytes];
    uint64_t size;
};

// What the update host publishes about the current launcher build, read from
// the same document; the same rules for absent members.
struct LauncherRelease {
    char version[kReleaseVersionBytes];
    char sha256[kReleaseDigestBytes];
    uint64_t size;
};

// Copies the double-quoted value after the first "name" in document into
// destination (cut to capacity - 1 bytes, always terminated). Returns false and
// leaves destination untouched when there is no such value, when capacity is 0,
// and when the quoted name would not fit the 64-byte key buffer.
bool ScanStringField(const char* document, const char* name, char* destination, size_t capacity);

// The unsigned decimal number after the first "name" in document, saturating
// at the largest 64-bit value; 0 when there is none (also for a quoted number).
uint64_t ScanSizeField(const char* document, const char* name);

// Zero-fills release, then scans "version", "sha256" and "size" in that order.
void ReadReleaseInfo(const char* document, ReleaseInfo* release);

// Zero-fills release, then scans "launcher_version", "launcher_sha256" and
// "launcher_size" in that order.
void ReadLauncherRelease(const char* document, LauncherRelease* release);
