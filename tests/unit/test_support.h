// Helpers shared by the Windows unit tests: temporary folders, files, message
// pumping and a watcher that answers message boxes the code under test shows.
#pragma once

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A fresh folder under the temporary folder, removed with its files by the destructor.
struct TempFolder {
    TempFolder();
    ~TempFolder();
    std::wstring path;
};

// Holds the existing folder as the launcher holds its install folder, while this object lives.
struct HeldFolder {
    explicit HeldFolder(const std::wstring& folder);
    ~HeldFolder();
};

std::wstring HelpersDir();
std::wstring HelperPath(const wchar_t* name);
bool CopyHelper(const wchar_t* helperName, const std::wstring& destination);
std::string ReadWholeFile(const std::wstring& path);
bool WaitForFile(const std::wstring& path, DWORD timeoutMs);

// Dispatches every message waiting for this thread.
void PumpMessages();

// Answers every dialog box of this process with OK from a thread of its own and
// records each one's caption and text.
struct DialogSeen {
    std::wstring caption;
    std::wstring text;
};

struct DialogWatcher {
    DialogWatcher();
    ~DialogWatcher();
    std::vector<DialogSeen> Seen();

    std::atomic<bool> stop{false};
    std::mutex lock;
    std::vector<DialogSeen> seen;
    std::thread thread;
};
