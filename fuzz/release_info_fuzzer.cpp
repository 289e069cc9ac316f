// Feeds arbitrary bytes to the metadata scan, the version parser and the
// readers of a kept partial download's note and of Content-Range. Values are
// scanned into heap blocks of exactly the given capacity, so any write past it
// is caught by AddressSanitizer; the checks below trap on broken invariants.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "transfer/download_resume.h"
#include "update/release_info.h"
#include "update/version_text.h"

namespace {

void Require(bool condition)
{
    if (!condition) {
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The fetch hands over at most 4095 bytes and a terminator; embedded NUL
    // bytes simply end the text early, as they do in the launcher.
    std::vector<char> document(data, data + size);
    document.push_back('\0');

    ReleaseInfo release;
    ReadReleaseInfo(document.data(), &release);
    Require(strlen(release.version) < sizeof(release.version));
    Require(strlen(release.sha256) < sizeof(release.sha256));
    if (strstr(document.data(), "\"size\"") == nullptr) {
        Require(release.size == 0);
    }
    // The launcher's members put before any document change nothing of the core's.
    const std::string launcherFirst =
        std::string("{\"launcher_version\":\"1\",\"launcher_sha256\":\"\",\"launcher_size\":5,") + document.data();
    ReleaseInfo same;
    ReadReleaseInfo(launcherFirst.c_str(), &same);
    Require(memcmp(&same, &release, sizeof(release)) == 0);

    const PublishedVersion version = ParseVersionText(release.version);
    const PublishedVersion whole = ParseVersionText(document.data());
    FileVersionQuad installed = {true, {1, 6, 5, 0}};
    (void)InstalledIsNewer(installed, version);
    installed.present = false;
    Require(!InstalledIsNewer(installed, whole));

    // Names of every length (also past the key buffer) and tiny capacities,
    // both taken from the input itself.
    if (size >= 2) {
        const size_t nameLength = data[0] % 80;
        const size_t capacity = data[1] % 16;
        const size_t available = size - 2;
        std::vector<char> name(document.begin() + 2, document.begin() + 2 + (nameLength < available ? nameLength : available));
        name.push_back('\0');
        char* destination = static_cast<char*>(malloc(capacity == 0 ? 1 : capacity));
        destination[0] = 'X';  // a capacity of 0 must leave even the first byte alone
        if (ScanStringField(document.data(), name.data(), destination, capacity)) {
            Require(capacity > 0 && strlen(destination) < capacity);
        } else {
            Require(destination[0] == 'X');
        }
        free(destination);
        (void)ScanSizeField(document.data(), name.data());
    }

    // A note that reads back is written and read again unchanged.
    PartialNote note = {};
    char text[kPartialNoteBytes];
    if (ParsePartialNote(document.data(), &note)) {
        PartialNote again = {};
        Require(FormatPartialNote(note, text) && ParsePartialNote(text, &again));
        Require(memcmp(&note, &again, sizeof(note)) == 0);
    }
    std::vector<wchar_t> range(document.begin(), document.end());
    uint64_t first = 0;
    uint64_t last = 0;
    uint64_t complete = 0;
    if (ParseContentRange(range.data(), &first, &last, &complete)) {
        Require(first <= last && last < complete);
    }
    return 0;
}
