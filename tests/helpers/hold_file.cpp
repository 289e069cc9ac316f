// Test helper: opens a file without sharing and holds it for the given number
// of milliseconds, as a running program holds its own executable. Prints
// "held" once the file is open. With --attack it is instead an unelevated
// program of the same user that tries to move, remove, replace or write the
// folder and core a launcher holds, and prints one line per try.
// Usage: hold_file <path> <milliseconds> | hold_file --attack <folder> <core> <replacement>
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

static void Report(const char* attempt, BOOL done)
{
    printf("%s %s\n", attempt, done ? "done" : "refused");
}

static void Attack(const std::wstring& folder, const std::wstring& core, const std::wstring& replacement)
{
    HANDLE writer = CreateFileW(core.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    Report("write-core", writer != INVALID_HANDLE_VALUE);
    Report("move-folder", MoveFileExW(folder.c_str(), (folder + L".moved").c_str(), 0));
    Report("remove-folder", RemoveDirectoryW(folder.c_str()));
    Report("move-core", MoveFileExW(core.c_str(), (core + L".moved").c_str(), 0));
    Report("replace-core", MoveFileExW(replacement.c_str(), core.c_str(), MOVEFILE_REPLACE_EXISTING));
    Report("delete-core", DeleteFileW(core.c_str()));
    if (writer != INVALID_HANDLE_VALUE) {
        CloseHandle(writer);
    }
}

int wmain(int argc, wchar_t** argv)
{
    if (argc == 5 && wcscmp(argv[1], L"--attack") == 0) {
        Attack(argv[2], argv[3], argv[4]);
        return 0;
    }
    if (argc != 3) {
        fwprintf(stderr, L"usage: hold_file <path> <milliseconds>\n");
        return 2;
    }
    HANDLE file = CreateFileW(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        fwprintf(stderr, L"hold_file: cannot open %ls (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    printf("held\n");
    fflush(stdout);
    Sleep(wcstoul(argv[2], nullptr, 10));
    CloseHandle(file);
    return 0;
}
