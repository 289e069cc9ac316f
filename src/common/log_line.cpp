// The launcher log's line format: UTC time stamp, launcher version, one step.
#include "common/log_line.h"

#include <cstdio>

size_t FormatLogLine(const LogStamp& stamp, const char* version, const char* text, char* line, size_t bytes)
{
    int prefix = snprintf(line, bytes, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ launcher %s: ", stamp.year % 10000,
                          stamp.month % 100, stamp.day % 100, stamp.hour % 100, stamp.minute % 100,
                          stamp.second % 100, stamp.millisecond % 1000, version);
    // Room is always kept for "\r\n" and the terminator.
    const size_t room = bytes - 3;
    size_t length = prefix < 0 ? 0 : static_cast<size_t>(prefix);
    if (length > room) {
        length = room;
    }
    for (const char* next = text; *next != '\0' && length < room; ++next) {
        const unsigned char unit = static_cast<unsigned char>(*next);
        line[length++] = unit < 0x20 || unit == 0x7f ? ' ' : *next;
    }
    line[length++] = '\r';
    line[length++] = '\n';
    line[length] = '\0';
    return length;
}

bool LogNeedsRotation(uint64_t size)
{
    return size >= kLogCapBytes;
}
