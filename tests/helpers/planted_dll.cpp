// A DLL that tests plant beside the launcher under the names of system DLLs.
// When a process loads it, it appends one line "<process exe>|<own path>" (UTF-8)
// to the file named by TOVRIN_PLANTED_LOG and does nothing else, so a test can
// see which process picked it up and from where.
#include <windows.h>

namespace {

void AppendUtf8(HANDLE file, const wchar_t* text)
{
    char utf8[4 * MAX_PATH];
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof(utf8), nullptr, nullptr);
    DWORD written = 0;
    if (length > 1) {
        WriteFile(file, utf8, static_cast<DWORD>(length - 1), &written, nullptr);
    }
}

void RecordLoad(HINSTANCE self)
{
    wchar_t logPath[MAX_PATH];
    wchar_t processPath[MAX_PATH];
    wchar_t ownPath[MAX_PATH];
    const DWORD logLength = GetEnvironmentVariableW(L"TOVRIN_PLANTED_LOG", logPath, MAX_PATH);
    if (logLength == 0 || logLength >= MAX_PATH) {
        return;
    }
    GetModuleFileNameW(nullptr, processPath, MAX_PATH);
    GetModuleFileNameW(self, ownPath, MAX_PATH);

    HANDLE log = CreateFileW(logPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (log == INVALID_HANDLE_VALUE) {
        return;
    }
    AppendUtf8(log, processPath);
    AppendUtf8(log, L"|");
    AppendUtf8(log, ownPath);
    AppendUtf8(log, L"\n");
    CloseHandle(log);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        RecordLoad(self);
    }
    return TRUE;
}
