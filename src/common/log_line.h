// The launcher log's line format and its size cap, kept free of Win32 so it is
// tested natively and under Wine alike.
#pragma once

#include <cstddef>
#include <cstdint>

// Bytes in one log line, "\r\n" and terminator included; a longer text is cut.
constexpr size_t kLogLineBytes = 1024;

// A log at or above this size at the start of a run is moved aside first.
constexpr uint64_t kLogCapBytes = 1024 * 1024;

// A moment in UTC, as the system clock reports it.
struct LogStamp {
    unsigned year;
    unsigned month;
    unsigned day;
    unsigned hour;
    unsigned minute;
    unsigned second;
    unsigned millisecond;
};

// "2026-12-10T01:02:03.456Z launcher 1.0.0.0: <text>\r\n" into line (bytes,
// terminator included, at least 64). Control characters in text become spaces
// so that a message with line breaks stays one line; a text too long for the
// line is cut, and the line still ends in "\r\n". Returns the line's length.
size_t FormatLogLine(const LogStamp& stamp, const char* version, const char* text, char* line, size_t bytes);

// True when a log of this size must be moved aside before a run appends to it.
bool LogNeedsRotation(uint64_t size);
