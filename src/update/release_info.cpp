// Release metadata scan: first occurrence of the quoted name wins, tabs, spaces
// and colons are skipped, string values are copied without escape handling.
#include "update/release_info.h"

#include <cstdio>
#include <cstring>

#include "transfer/update_contract.h"

namespace {

constexpr size_t kKeyBytes = 64;

// Position right after the first occurrence of "name" in document, or nullptr.
const char* FindValueStart(const char* document, const char* name)
{
    if (document == nullptr || name == nullptr) {
        return nullptr;
    }
    char key[kKeyBytes];
    const int length = snprintf(key, sizeof(key), "\"%s\"", name);
    // A cut key would match other members (or half a name), so a name that does
    // not fit has no value at all.
    if (length < 0 || static_cast<size_t>(length) >= sizeof(key)) {
        return nullptr;
    }
    const char* found = strstr(document, key);
    return found == nullptr ? nullptr : found + length;
}

bool IsSeparator(char c)
{
    return c == '\t' || c == ' ' || c == ':';
}

}  // namespace

bool ScanStringField(const char* document, const char* name, char* destination, size_t capacity)
{
    const char* cursor = FindValueStart(document, name);
    if (cursor == nullptr || capacity == 0) {
        return false;
    }
    while (IsSeparator(*cursor)) {
        ++cursor;
    }
    if (*cursor != '"') {
        return false;
    }
    ++cursor;
    size_t copied = 0;
    while (copied + 1 < capacity && cursor[copied] != '"' && cursor[copied] != '\0') {
        destination[copied] = cursor[copied];
        ++copied;
    }
    destination[copied] = '\0';
    return true;
}

uint64_t ScanSizeField(const char* document, const char* name)
{
    const char* cursor = FindValueStart(document, name);
    if (cursor == nullptr) {
        return 0;
    }
    while (IsSeparator(*cursor)) {
        ++cursor;
    }
    uint64_t value = 0;
    bool saturated = false;
    // Every digit is consumed; past the largest value the result stays there.
    for (; *cursor >= '0' && *cursor <= '9'; ++cursor) {
        const uint64_t digit = static_cast<uint64_t>(*cursor - '0');
        if (saturated || value > (UINT64_MAX - digit) / 10) {
            saturated = true;
            continue;
        }
        value = value * 10 + digit;
    }
    return saturated ? UINT64_MAX : value;
}

void ReadReleaseInfo(const char* document, ReleaseInfo* release)
{
    memset(release, 0, sizeof(*release));
    ScanStringField(document, "version", release->version, sizeof(release->version));
    ScanStringField(document, "sha256", release->sha256, sizeof(release->sha256));
    release->size = ScanSizeField(document, "size");
}

void ReadLauncherRelease(const char* document, LauncherRelease* release)
{
    memset(release, 0, sizeof(*release));
    ScanStringField(document, kLauncherVersionMember, release->version, sizeof(release->version));
    ScanStringField(document, kLauncherDigestMember, release->sha256, sizeof(release->sha256));
    release->size = ScanSizeField(document, kLauncherSizeMember);
}
