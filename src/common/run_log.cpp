// The run's log file: opened through the held install folder like every other
// file there, rotated at the cap, appended a whole line at a time.
#include "common/run_log.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>

#include "common/folder_files.h"
#include "common/launcher_version.h"
#include "common/log_line.h"

namespace {

constexpr wchar_t kLogName[] = L"launcher.log";
constexpr wchar_t kOldLogName[] = L"launcher.old.log";
// Append-only data access: every write lands at the end, whole, even if another
// handle appends too. DELETE is for the rename that moves a full log aside.
constexpr DWORD kLogAccess = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | DELETE | SYNCHRONIZE;

HANDLE g_runLog = INVALID_HANDLE_VALUE;

HANDLE OpenLogFile()
{
    return OpenFolderFile(kLogName, kLogAccess, FILE_SHARE_READ, OPEN_ALWAYS);
}

}  // namespace

void OpenRunLog()
{
    HANDLE log = OpenLogFile();
    LARGE_INTEGER size = {};
    if (log == INVALID_HANDLE_VALUE) {
        return;
    }
    if (!GetFileSizeEx(log, &size)) {
        CloseHandle(log);
        return;
    }
    if (LogNeedsRotation(static_cast<uint64_t>(size.QuadPart))) {
        // A log that cannot be moved aside is not appended to: the cap holds.
        const bool moved = RenameOpenFile(log, kOldLogName);
        CloseHandle(log);
        log = moved ? OpenLogFile() : INVALID_HANDLE_VALUE;
    }
    g_runLog = log;
}

void RunLog(const char* format, ...)
{
    char text[kLogLineBytes];
    char line[kLogLineBytes];
    SYSTEMTIME now;
    DWORD written = 0;
    va_list arguments;

    if (g_runLog == INVALID_HANDLE_VALUE) {
        return;
    }
    va_start(arguments, format);
    vsnprintf(text, sizeof(text), format, arguments);
    va_end(arguments);
    GetSystemTime(&now);
    const LogStamp stamp = {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
    const size_t length = FormatLogLine(stamp, TOVRIN_LAUNCHER_VERSION_TEXT, text, line, sizeof(line));
    WriteFile(g_runLog, line, static_cast<DWORD>(length), &written, nullptr);
}

void LogBox(const wchar_t* text)
{
    char line[kLogLineBytes];
    RunLog("run ended with the box \"%s\"", LogUtf8(text, line, sizeof(line)));
}

const char* LogUtf8(const wchar_t* text, char* buffer, size_t bytes)
{
    buffer[0] = '\0';
    if (WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, static_cast<int>(bytes), nullptr, nullptr) == 0) {
        // Too long for the buffer: the conversion wrote a part, without its terminator.
        buffer[bytes - 1] = '\0';
    }
    return buffer;
}
