// Published version text and the installed file version, the comparison that
// decides whether the installed core is newer than the published build, and
// the judgement of a download's own version.
#pragma once

#include <cstddef>
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

// Negative, zero or positive as the file version (present) is older than, the
// same as or newer than published, comparing the parts in order as signed
// 32-bit values, as the launcher compares them.
int CompareFileVersion(const FileVersionQuad& file, const PublishedVersion& published);

// Negative, zero or positive as version text a names an older, the same or a
// newer version than version text b (their first four numbers, as parsed).
int CompareVersionTexts(const char* a, const char* b);

// True when installed is strictly greater than published (CompareFileVersion).
// False when installed is not present.
bool InstalledIsNewer(const FileVersionQuad& installed, const PublishedVersion& published);

// "major.minor.build.revision", or "none" when version is not present, into
// text (capacity bytes, at least 24).
void FormatFileVersion(const FileVersionQuad& version, char* text, size_t capacity);

// How a downloaded core's own file version stands against the version the
// host published for it and the installed core's.
enum DownloadVersion {
    DownloadVersionAccepted,      // the published version, and not older than the installed core
    DownloadVersionNotPublished,  // none, or not the one the document names
    DownloadVersionOlder,         // older than the installed core: a downgrade
    DownloadVersionBelowFloor,    // older than a core once verified as the publisher's: a downgrade
};

// installed is the installed core whose signature was accepted (not present
// when there is none, so a planted core's high version cannot stop updates);
// floor the highest core version ever verified as the publisher's (not present
// when there is none).
DownloadVersion JudgeDownloadVersion(const FileVersionQuad& download, const PublishedVersion& published,
                                     const FileVersionQuad& installed, const FileVersionQuad& floor);

// True when a is a higher version than b; any version is above one not present.
bool VersionAbove(const FileVersionQuad& a, const FileVersionQuad& b);

// The higher of two versions; one not present gives way to the other.
FileVersionQuad HigherVersion(const FileVersionQuad& a, const FileVersionQuad& b);

// Whether the running launcher (version running) may replace the installed
// copy (version installed; not present when there is none or it has no
// version): never with an older launcher than that copy, nor with one older
// than the highest launcher ever installed (floor), whatever the copy is now.
bool MayReplaceInstalledLauncher(const FileVersionQuad& running, const FileVersionQuad& installed,
                                 const FileVersionQuad& floor);

// Whether a launcher of the published version is to be installed: newer than
// the running launcher (present) and than the installed copy (if present).
bool LauncherUpdateWanted(const FileVersionQuad& running, const FileVersionQuad& installed,
                          const PublishedVersion& published);
