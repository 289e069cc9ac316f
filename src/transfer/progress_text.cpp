// Download progress arithmetic and the progress line.
#include "transfer/progress_text.h"

#include <cwchar>

bool ShouldReportProgress(uint32_t nowTick, uint32_t lastReportTick, uint64_t total, uint64_t expected)
{
    const uint32_t elapsed = nowTick - lastReportTick;
    return elapsed > kProgressIntervalMs || total >= expected;
}

int ProgressPercent(uint64_t total, uint64_t expected)
{
    if (expected == 0) {
        return 0;
    }
    if (total >= expected) {
        return 100;
    }
    // total < expected here; the wide product avoids wrapping for absurd sizes.
    return static_cast<int>(static_cast<unsigned __int128>(total) * 100u / expected);
}

void FormatMegabytesTenths(uint64_t bytes, wchar_t* text, size_t units)
{
    const uint64_t kMiB = 1048576;
    // Split so that nothing overflows: whole MiB times ten, plus the tenths of the rest.
    const uint64_t whole = bytes / kMiB;
    const uint64_t restTimesTen = (bytes % kMiB) * 10;
    uint64_t tenths = whole * 10 + restTimesTen / kMiB;
    const uint64_t remainder = restTimesTen % kMiB;
    if (remainder * 2 > kMiB || (remainder * 2 == kMiB && (tenths & 1) != 0)) {
        ++tenths;
    }
    swprintf(text, units, L"%llu.%u", static_cast<unsigned long long>(tenths / 10),
             static_cast<unsigned>(tenths % 10));
}

void FormatDownloadProgress(const wchar_t* versionLabel, uint64_t total, uint64_t expected,
                            wchar_t* text, size_t units)
{
    wchar_t received[24];
    wchar_t announced[24];
    FormatMegabytesTenths(total, received, 24);
    FormatMegabytesTenths(expected, announced, 24);
    if (units == 0) {
        return;
    }
    // swprintf reports truncation as failure but leaves no guaranteed terminator.
    if (swprintf(text, units, L"Downloading Tovrin Tools v%ls... %ls / %ls MB (%d%%)", versionLabel, received,
                 announced, ProgressPercent(total, expected)) < 0) {
        text[units - 1] = L'\0';
    }
}
