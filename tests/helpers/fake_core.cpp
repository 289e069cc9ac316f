// A stand-in for the core executable: a valid Windows program whose version
// resource is set at build time and whose size passes the download floor. On
// start it appends its working directory and command line to "<own path>.started"
// (UTF-8), then exits, so tests can see how, where and how often it was started.
#include <windows.h>

#include <cstdio>

// Keeps the file above 1,000,000 bytes; the seed makes variants of one
// version differ byte for byte.
extern "C" __attribute__((used)) const volatile unsigned char kFakeCorePadding[FAKE_CORE_PAD_BYTES] = {FAKE_CORE_SEED};

namespace {

void WriteUtf8Line(HANDLE file, const char* label, const wchar_t* text)
{
    char utf8[4 * 1024];
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof(utf8), nullptr, nullptr);
    DWORD written = 0;
    WriteFile(file, label, static_cast<DWORD>(lstrlenA(label)), &written, nullptr);
    if (length > 1) {
        WriteFile(file, utf8, static_cast<DWORD>(length - 1), &written, nullptr);
    }
    WriteFile(file, "\n", 1, &written, nullptr);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    wchar_t ownPath[MAX_PATH];
    wchar_t recordPath[MAX_PATH + 16];
    wchar_t directory[MAX_PATH];
    GetModuleFileNameW(nullptr, ownPath, MAX_PATH);
    swprintf(recordPath, MAX_PATH + 16, L"%ls.started", ownPath);
    GetCurrentDirectoryW(MAX_PATH, directory);

    HANDLE record = CreateFileW(recordPath, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (record == INVALID_HANDLE_VALUE) {
        return 1;
    }
    WriteUtf8Line(record, "cwd=", directory);
    WriteUtf8Line(record, "cmdline=", GetCommandLineW());
    CloseHandle(record);
    return static_cast<int>(kFakeCorePadding[0] == 0xFF);
}
