// Version text parsing and the installed-against-published comparison.
#include "update/version_text.h"

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

bool InstalledIsNewer(const FileVersionQuad& installed, const PublishedVersion& published)
{
    if (!installed.present) {
        return false;
    }
    for (int i = 0; i < 4; ++i) {
        const int32_t mine = installed.parts[i];
        if (mine != published.parts[i]) {
            return mine > published.parts[i];
        }
    }
    return false;
}

DownloadVersion JudgeDownloadVersion(const FileVersionQuad& download, const PublishedVersion& published,
                                     const FileVersionQuad& installed)
{
    if (!download.present) {
        return DownloadVersionNotPublished;
    }
    PublishedVersion own = {};
    for (int i = 0; i < 4; ++i) {
        if (download.parts[i] != published.parts[i]) {
            return DownloadVersionNotPublished;
        }
        own.parts[i] = download.parts[i];
    }
    return InstalledIsNewer(installed, own) ? DownloadVersionOlder : DownloadVersionAccepted;
}
