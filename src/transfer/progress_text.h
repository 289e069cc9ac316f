// Download progress arithmetic and the progress line, kept free of Win32 so it
// is tested natively and under Wine alike.
#pragma once

#include <cstddef>
#include <cstdint>

// Units in the progress line buffer, terminator included.
constexpr size_t kProgressTextUnits = 192;

// Minimum tick distance between two reports while the expected size is not reached.
constexpr uint32_t kProgressIntervalMs = 80;

// True when a chunk must be reported: more than 80 ms (unsigned 32-bit tick
// arithmetic, so the 49.7-day wrap is harmless) since the last report, or the
// expected size reached (always true when it is 0).
bool ShouldReportProgress(uint32_t nowTick, uint32_t lastReportTick, uint64_t total, uint64_t expected);

// total * 100 / expected in integer arithmetic, capped at 100; 0 when expected is 0.
int ProgressPercent(uint64_t total, uint64_t expected);

// Byte count as megabytes (1048576 bytes) rounded to the nearest tenth, ties to
// even, written as "<whole>.<tenth>" into text (at least 24 units). Integer
// arithmetic, so every C run-time prints the same figure.
void FormatMegabytesTenths(uint64_t bytes, wchar_t* text, size_t units);

// "Downloading Tovrin Tools v<label>... <total> / <expected> MB (<percent>%)",
// cut to fit units (terminator included).
void FormatDownloadProgress(const wchar_t* versionLabel, uint64_t total, uint64_t expected,
                            wchar_t* text, size_t units);
