// Test helper: opens a file or folder without sharing and holds it for the given number
// of milliseconds, as a running program holds its own executable; or holds a
// mutex of the given name (a format, "%ls" the user's SID), made as any
// program makes one or, with --as-launcher, as a launcher makes its run lock.
// Prints "held" once the file or mutex is held. With --attack it is instead an
// unelevated program of the same user that tries to move, remove, replace or
// write the folder and core a launcher holds, and prints one line per try.
// With --start-swapped it starts the launcher at <exe> held before its first
// instruction, renames <exe> to <exe>.moved and puts <replacement> at <exe>,
// then lets it run and waits for it.
// Usage: hold_file <path> <milliseconds>
//        hold_file --mutex <name> <milliseconds> [--as-launcher]
//        hold_file --attack <folder> <core> <replacement>
//        hold_file --start-swapped <exe> <replacement>
#include <windows.h>

#include <sddl.h>

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

static int StartSwapped(const std::wstring& exe, const std::wstring& replacement)
{
    STARTUPINFOW startup = {};
    PROCESS_INFORMATION process = {};
    DWORD code = 1;
    startup.cb = sizeof(startup);
    if (!CreateProcessW(exe.c_str(), nullptr, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr, &startup,
                        &process)) {
        return 1;
    }
    const BOOL swapped = MoveFileExW(exe.c_str(), (exe + L".moved").c_str(), MOVEFILE_REPLACE_EXISTING) &&
                         CopyFileW(replacement.c_str(), exe.c_str(), FALSE);
    ResumeThread(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return swapped ? static_cast<int>(code) : 1;
}

static HANDLE HoldMutex(const wchar_t* format, bool asLauncher)
{
    HANDLE token = nullptr;
    BYTE user[256];
    DWORD size = 0;
    wchar_t* sid = nullptr;
    wchar_t name[512];
    SECURITY_ATTRIBUTES security = {sizeof(security), nullptr, FALSE};
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    GetTokenInformation(token, TokenUser, user, sizeof(user), &size);
    ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &sid);
    swprintf(name, 512, format, sid);
    ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:BAD:P(A;;GA;;;SY)(A;;GA;;;BA)", SDDL_REVISION_1,
                                                         &security.lpSecurityDescriptor, nullptr);
    return CreateMutexW(asLauncher ? &security : nullptr, TRUE, name);
}

int wmain(int argc, wchar_t** argv)
{
    if (argc == 5 && wcscmp(argv[1], L"--attack") == 0) {
        Attack(argv[2], argv[3], argv[4]);
        return 0;
    }
    if (argc == 4 && wcscmp(argv[1], L"--start-swapped") == 0) {
        return StartSwapped(argv[2], argv[3]);
    }
    const bool mutex = argc >= 4 && wcscmp(argv[1], L"--mutex") == 0;
    if (argc != 3 && !mutex) {
        fwprintf(stderr, L"usage: hold_file <path> <milliseconds> | --mutex <name> <milliseconds> [--as-launcher]"
                         L" | --attack <folder> <core> <replacement> | --start-swapped <exe> <replacement>\n");
        return 2;
    }
    HANDLE held = mutex ? HoldMutex(argv[2], argc == 5 && wcscmp(argv[4], L"--as-launcher") == 0)
                        : CreateFileW(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (held == nullptr || held == INVALID_HANDLE_VALUE) {
        fwprintf(stderr, L"hold_file: cannot hold %ls (error %lu)\n", argv[mutex ? 2 : 1], GetLastError());
        return 1;
    }
    printf("held\n");
    fflush(stdout);
    Sleep(wcstoul(argv[mutex ? 3 : 2], nullptr, 10));
    CloseHandle(held);
    return 0;
}
