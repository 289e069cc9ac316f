// Starting the installed core: a plain process creation, then the shell's
// elevated start as a fallback, then an error box.
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

void LaunchCore(HWND owner)
{
    wchar_t corePath[kPathUnits];
    wchar_t directory[kPathUnits];
    wchar_t message[256];
    DWORD error = ERROR_ACCESS_DENIED;

    // The path is the held file's own, every link resolved, and names it in
    // the held folder: neither can be moved while held, so the start opens the
    // file that was checked.
    if (!FolderFilePath(g_coreHandle, kCoreName, corePath)) {
        RunLog("core not started: the held core is not the install folder's own");
        if (kCoreSignerPinCount > 0) {
            LogBox(kUnsignedCoreError);
            MessageBoxW(owner, kUnsignedCoreError, kLauncherCaption, MB_ICONERROR);
            return;
        }
        goto failed;
    }
    CoreWorkingDirectory(corePath, directory, kPathUnits);
    {
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        if (CreateProcessW(corePath, nullptr, nullptr, nullptr, FALSE, 0, nullptr, directory, &startup, &process)) {
            // The launcher neither waits for the core nor watches it.
            RunLog("core started (process %lu)", process.dwProcessId);
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
            return;
        }
    }
    {
        // Whatever made the plain start fail, the shell may still start it
        // elevated: with the machine's own verb for programs, never one that the
        // user's classes (HKCU\Software\Classes, which HKEY_CLASSES_ROOT puts
        // first) register in its place.
        HKEY programs = nullptr;
        SHELLEXECUTEINFOW shellStart = {};
        shellStart.cbSize = sizeof(shellStart);
        shellStart.fMask = SEE_MASK_NOASYNC | SEE_MASK_CLASSKEY;
        shellStart.lpVerb = L"runas";
        shellStart.lpFile = corePath;
        shellStart.lpDirectory = directory;
        shellStart.nShow = SW_SHOWNORMAL;
        RunLog("plain start of the core failed (error %lu); starting it through the shell, elevated", GetLastError());
        error = RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\exefile", 0, KEY_READ | KEY_WOW64_64KEY,
                              &programs);
        if (error == ERROR_SUCCESS) {
            shellStart.hkeyClass = programs;
            const bool started = ShellExecuteExW(&shellStart) != FALSE;
            error = GetLastError();
            RegCloseKey(programs);
            if (started) {
                RunLog("core started through the shell");
                return;
            }
        }
    }

failed:
    swprintf(message, 256, kLaunchErrorFormat, static_cast<unsigned long>(error));
    LogBox(message);
    MessageBoxW(owner, message, kLauncherCaption, MB_ICONERROR);
}
