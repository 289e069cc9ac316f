// Test helper: opens a file without sharing and holds it for the given number
// of milliseconds, as a running program holds its own executable. Prints
// "held" once the file is open.
// Usage: hold_file <path> <milliseconds>
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv)
{
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
