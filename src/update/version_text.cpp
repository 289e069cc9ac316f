// Version text parsing and the installed-against-published comparison.
#include "update/version_text.h"

#include <cstdio>

PublishedVersion ParseVersionText(const char* text)
{
    PublishedVersion version = {};
    if (text == nullptr) {
        return version;
    }
    int found = 0;
    const char* cursor = text;
    while (*cursor != '\0' && found < 4) {
        if (*cursor < '0' || *cursor > '9') {
            ++cursor;
            continue;
        }
        // Unsigned arithmetic wraps without undefined behaviour; the conversion
        // to signed keeps the same 32 bits.
        uint32_t value = 0;
        for (; *cursor >= '0' && *cursor <= '9'; ++cursor) {
            value = value * 10u + static_cast<uint32_t>(*cursor - '0');
        }
        version.parts[found] = static_cast<int32_t>(value);
        ++found;
    }
    return version;
}

int CompareFileVersion(const FileVersionQuad& file, const PublishedVersion& published)
{
    for (int i = 0; i < 4; ++i) {
        const int32_t mine = file.parts[i];
        if (mine != published.parts[i]) {
            return mine > published.parts[i] ? 1 : -1;
        }
    }
    return 0;
}

int CompareVersionTexts(const char* a, const char* b)
{
    const PublishedVersion first = ParseVersionText(a);
    const PublishedVersion second = ParseVersionText(b);
    for (int i = 0; i < 4; ++i) {
        if (first.parts[i] != second.parts[i]) {
            return first.parts[i] > second.parts[i] ? 1 : -1;
        }
    }
    return 0;
}

bool InstalledIsNewer(const FileVersionQuad& installed, const PublishedVersion& published)
{
    return installed.present && CompareFileVersion(installed, published) > 0;
}

void FormatFileVersion(const FileVersionQuad& version, char* text, size_t capacity)
{
    if (!version.present) {
        snprintf(text, capacity, "none");
        return;
    }
    snprintf(text, capacity, "%u.%u.%u.%u", version.parts[0], version.parts[1], version.parts[2], version.parts[3]);
}

DownloadVersion JudgeDownloadVersion(const FileVersionQuad& download, const PublishedVersion& published,
                                     const FileVersionQuad& installed, const FileVersionQuad& floor)
{
    if (!download.present) {
        return DownloadVersionNotPublished;
    }
    if (CompareFileVersion(download, published) != 0) {
        return DownloadVersionNotPublished;
    }
    if (installed.present && CompareFileVersion(installed, published) > 0) {
        return DownloadVersionOlder;
    }
    return floor.present && CompareFileVersion(floor, published) > 0 ? DownloadVersionBelowFloor
                                                                      : DownloadVersionAccepted;
}

bool VersionAbove(const FileVersionQuad& a, const FileVersionQuad& b)
{
    if (!a.present || !b.present) {
        return a.present;
    }
    for (int i = 0; i < 4; ++i) {
        if (a.parts[i] != b.parts[i]) {
            return a.parts[i] > b.parts[i];
        }
    }
    return false;
}

FileVersionQuad HigherVersion(const FileVersionQuad& a, const FileVersionQuad& b)
{
    return VersionAbove(b, a) ? b : a;
}

bool MayReplaceInstalledLauncher(const FileVersionQuad& running, const FileVersionQuad& installed,
                                 const FileVersionQuad& floor)
{
    return !VersionAbove(installed, running) && !VersionAbove(floor, running);
}

bool LauncherUpdateWanted(const FileVersionQuad& running, const FileVersionQuad& installed,
                          const PublishedVersion& published)
{
    return running.present && CompareFileVersion(running, published) < 0 &&
           (!installed.present || CompareFileVersion(installed, published) < 0);
}
