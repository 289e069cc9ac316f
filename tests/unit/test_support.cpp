// Helpers shared by the Windows unit tests.
#include "test_support.h"

#include <cstdlib>
#include <cwchar>

#include "common/folder_files.h"

TempFolder::TempFolder()
{
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    static LONG counter = 0;
    wchar_t name[MAX_PATH];
    swprintf(name, MAX_PATH, L"%lstovrin-test-%lu-%ld", base, GetCurrentProcessId(), InterlockedIncrement(&counter));
    CreateDirectoryW(name, nullptr);
    path = name;
}

TempFolder::~TempFolder()
{
    // Double-NUL-terminated list for SHFileOperation would pull in shell32; a flat folder is enough here.
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                std::wstring file = path + L"\\" + found.cFileName;
                SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(file.c_str());
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(path.c_str());
}

HeldFolder::HeldFolder(const std::wstring& folder)
{
    HANDLE handle = CreateFileW(folder.c_str(), kInstallFolderAccess, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle != INVALID_HANDLE_VALUE && HoldOpenFolder(handle, folder.c_str()) != FolderHeld) {
        CloseHandle(handle);
    }
}

HeldFolder::~HeldFolder()
{
    if (g_installFolder != INVALID_HANDLE_VALUE) {
        CloseHandle(g_installFolder);
        g_installFolder = INVALID_HANDLE_VALUE;
    }
}

std::wstring HelpersDir()
{
    const char* dir = getenv("TOVRIN_HELPERS_DIR");
    if (dir == nullptr) {
        return L"";
    }
    // The build folder is a Unix path; Wine maps the root to drive Z:.
    std::wstring path = L"Z:";
    for (const char* p = dir; *p != '\0'; ++p) {
        path += *p == '/' ? L'\\' : static_cast<wchar_t>(*p);
    }
    return path;
}

std::wstring HelperPath(const wchar_t* name)
{
    return HelpersDir() + L"\\" + name;
}

bool CopyHelper(const wchar_t* helperName, const std::wstring& destination)
{
    return CopyFileW(HelperPath(helperName).c_str(), destination.c_str(), FALSE) != FALSE;
}

std::string ReadWholeFile(const std::wstring& path)
{
    std::string content;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return content;
    }
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        content.append(buffer, read);
    }
    CloseHandle(file);
    return content;
}

bool WaitForFile(const std::wstring& path, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    while (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        if (GetTickCount() - start > timeoutMs) {
            return false;
        }
        Sleep(20);
    }
    return true;
}

void PumpMessages()
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

namespace {

struct DialogScan {
    DWORD processId;
    HWND found;
};

BOOL CALLBACK FindOwnDialog(HWND window, LPARAM scanParam)
{
    DialogScan* scan = reinterpret_cast<DialogScan*>(scanParam);
    DWORD processId = 0;
    wchar_t className[16];
    GetWindowThreadProcessId(window, &processId);
    if (processId == scan->processId && IsWindowVisible(window) && GetClassNameW(window, className, 16) > 0 &&
        wcscmp(className, L"#32770") == 0) {
        scan->found = window;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK FindStaticText(HWND child, LPARAM textParam)
{
    std::wstring* text = reinterpret_cast<std::wstring*>(textParam);
    wchar_t className[16];
    wchar_t candidate[1024];
    GetClassNameW(child, className, 16);
    if (_wcsicmp(className, L"Static") == 0 && GetWindowTextW(child, candidate, 1024) > 0) {
        *text = candidate;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

DialogWatcher::DialogWatcher()
{
    thread = std::thread([this] {
        HWND answered = nullptr;
        while (!stop.load()) {
            DialogScan scan = {GetCurrentProcessId(), nullptr};
            EnumWindows(FindOwnDialog, reinterpret_cast<LPARAM>(&scan));
            if (scan.found != nullptr && scan.found != answered) {
                wchar_t caption[256];
                GetWindowTextW(scan.found, caption, 256);
                DialogSeen dialog{caption, L""};
                EnumChildWindows(scan.found, FindStaticText, reinterpret_cast<LPARAM>(&dialog.text));
                {
                    std::lock_guard<std::mutex> guard(lock);
                    seen.push_back(dialog);
                }
                PostMessageW(scan.found, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
                answered = scan.found;
            }
            Sleep(10);
        }
    });
}

DialogWatcher::~DialogWatcher()
{
    stop.store(true);
    thread.join();
}

std::vector<DialogSeen> DialogWatcher::Seen()
{
    std::lock_guard<std::mutex> guard(lock);
    return seen;
}
