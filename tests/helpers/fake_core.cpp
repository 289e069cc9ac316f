// A stand-in for the core executable: a valid Windows program whose version
// resource is set at build time and whose size passes the download floor. On
// start it appends its working directory and command line to "<own path>.started"
// (UTF-8), then exits, so tests can see how, where and how often it was started.
// Like many real programs it imports version.dll, which Windows looks for in
// the program's own folder first: a DLL planted beside it would be loaded.
#include <windows.h>

#include <cstdio>

// Keeps the file above 1,000,000 bytes; the seed makes variants of one
// version differ byte for byte.
extern "C" __attribute__((used)) const volatile unsigned char kFakeCorePadding[FAKE_CORE_PAD_BYTES] = {FAKE_CORE_SEED};

namespace {

// Appends "<label><text>\n" in UTF-8 to the record being built.
void AppendUtf8Line(char* record, int capacity, const char* label, const wchar_t* text)
{
    const int used = lstrlenA(record);
    const int labelLength = lstrlenA(label);
    if (used + labelLength + 2 > capacity) {
        return;
    }
    lstrcpyA(record + used, label);
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, record + used + labelLength,
                                           capacity - used - labelLength - 1, nullptr, nullptr);
    lstrcatA(record, length > 0 ? "\n" : "?\n");
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    wchar_t ownPath[MAX_PATH];
    wchar_t recordPath[MAX_PATH + 16];
    wchar_t directory[MAX_PATH];
    char record[16 * 1024] = "";
    GetModuleFileNameW(nullptr, ownPath, MAX_PATH);
    GetFileVersionInfoSizeW(ownPath, nullptr);
    swprintf(recordPath, MAX_PATH + 16, L"%ls.started", ownPath);
    GetCurrentDirectoryW(MAX_PATH, directory);
    AppendUtf8Line(record, sizeof(record), "cwd=", directory);
    AppendUtf8Line(record, sizeof(record), "cmdline=", GetCommandLineW());

    // One write per start, so a reader never sees half a start.
    HANDLE file = CreateFileW(recordPath, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 1;
    }
    DWORD written = 0;
    WriteFile(file, record, static_cast<DWORD>(lstrlenA(record)), &written, nullptr);
    CloseHandle(file);
    return static_cast<int>(kFakeCorePadding[0] == 0xFF);
}
