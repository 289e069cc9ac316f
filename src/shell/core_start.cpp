// Starting the installed core: a plain process creation, then the shell's
// elevated start as a fallback, then one error box.
#include "shell/core_start.h"

#include <shellapi.h>

#include <cwchar>

#include "common/folder_files.h"
#include "common/held_core.h"
#include "common/run_log.h"
#include "shell/launcher_state.h"
#include "update/core_signers.h"

void CoreWorkingDirectory(const wchar_t* corePath, wchar_t* directory, size_t units)
{
    wcsncpy(directory, corePath, units - 1);
    directory[units - 1] = L'\0';
    wchar_t* lastSlash = wcsrchr(directory, L'\\');
    if (lastSlash != nullptr) {
        *lastSlash = L'\0';
    }
}

namespace {

// Starts the core as an ordinary process. False, with the error in *error, when
// it cannot be.
bool StartPlain(const wchar_t* corePath, const wchar_t* directory, DWORD* error)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(corePath, nullptr, nullptr, nullptr, FALSE, 0, nullptr, directory, &startup, &process)) {
        *error = GetLastError();
        return false;
    }
    // The launcher neither waits for the core nor watches it.
    RunLog("core started (process %lu)", process.dwProcessId);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

// Whatever made the plain start fail, the shell may still start the core
// elevated: with the machine's own verb for programs, never one that the
// user's classes (HKCU\Software\Classes, which HKEY_CLASSES_ROOT puts first)
// register in its place. False, with the error in *error, when it does not.
bool StartThroughShell(const wchar_t* corePath, const wchar_t* directory, DWORD* error)
{
    HKEY programs = nullptr;
    SHELLEXECUTEINFOW shellStart = {};
    shellStart.cbSize = sizeof(shellStart);
    shellStart.fMask = SEE_MASK_NOASYNC | SEE_MASK_CLASSKEY;
    shellStart.lpVerb = L"runas";
    shellStart.lpFile = corePath;
    shellStart.lpDirectory = directory;
    shellStart.nShow = SW_SHOWNORMAL;
    *error = RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\exefile", 0, KEY_READ | KEY_WOW64_64KEY,
                           &programs);
    if (*error != ERROR_SUCCESS) {
        return false;
    }
    shellStart.hkeyClass = programs;
    const bool started = ShellExecuteExW(&shellStart) != FALSE;
    *error = GetLastError();
    RegCloseKey(programs);
    if (started) {
        RunLog("core started through the shell");
    }
    return started;
}

// The one report of a core that was not started, in the log and in a box owned
// by owner: with signer pins, a held core that is not the install folder's own
// was not started for its signature; any other failure names the error.
void ReportNotStarted(HWND owner, bool folderOwn, DWORD error)
{
    wchar_t message[256];
    const wchar_t* text = kUnsignedCoreError;
    if (folderOwn || kCoreSignerPinCount == 0) {
        swprintf(message, 256, kLaunchErrorFormat, static_cast<unsigned long>(error));
        text = message;
    }
    LogBox(text);
    MessageBoxW(owner, text, kLauncherCaption, MB_ICONERROR);
}

}  // namespace

void LaunchCore(HWND owner)
{
    wchar_t corePath[kPathUnits];
    wchar_t directory[kPathUnits];
    DWORD error = ERROR_ACCESS_DENIED;

    // The path is the held file's own, every link resolved, and names it in
    // the held folder: neither can be moved while held, so the start opens the
    // file that was checked.
    const bool folderOwn = FolderFilePath(g_coreHandle, kCoreName, corePath);
    if (!folderOwn) {
        RunLog("core not started: the held core is not the install folder's own");
    } else {
        CoreWorkingDirectory(corePath, directory, kPathUnits);
        if (StartPlain(corePath, directory, &error)) {
            return;
        }
        RunLog("plain start of the core failed (error %lu); starting it through the shell, elevated", error);
        if (StartThroughShell(corePath, directory, &error)) {
            return;
        }
    }
    ReportNotStarted(owner, folderOwn, error);
}
