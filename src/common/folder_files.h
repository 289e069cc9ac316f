// The install folder, held open and protected for the whole run, and the file
// work in it by handle: open a file directly inside it, delete or move an open file.
#pragma once

#include <windows.h>

#include "shell/launcher_state.h"

// The held install folder (INVALID_HANDLE_VALUE until HoldInstallFolder
// succeeds) and its final path in plain spelling ("C:\...", no "\\?\").
extern HANDLE g_installFolder;
extern wchar_t g_installFolderPath[kPathUnits];

enum FolderHold {
    FolderHeld,      // g_installFolder and g_installFolderPath are set
    FolderLinked,    // the folder is a link or its path leads elsewhere: never used
    FolderUnusable,  // cannot be created, opened or protected
    FolderForeign,   // not the launcher's own and cannot be set aside: never used
    FolderInUse,     // another program holds it open without sharing: never used
};

// What the held folder's handle may do: list, add files, flush, and have its
// owner, DACL and label set (the label needs WRITE_OWNER). Never DELETE: held
// without delete sharing, that would keep the core from opening the folder as
// its working directory, which shares reading and writing only.
constexpr DWORD kInstallFolderAccess = READ_CONTROL | WRITE_DAC | WRITE_OWNER | SYNCHRONIZE | FILE_LIST_DIRECTORY |
                                       FILE_ADD_FILE | FILE_TRAVERSE | FILE_READ_ATTRIBUTES;

// The install folder's security descriptor in absolute form, with the buffers
// it points into: owner Administrators; a protected DACL giving SYSTEM and
// Administrators full control and user read and execute; a High mandatory
// label with no-write-up. Every ACE is inherited by files and folders inside.
struct FolderSecurity {
    SECURITY_DESCRIPTOR descriptor;
    BYTE owner[SECURITY_MAX_SID_SIZE];
    BYTE system[SECURITY_MAX_SID_SIZE];
    BYTE high[SECURITY_MAX_SID_SIZE];
    alignas(DWORD) BYTE dacl[256];
    alignas(DWORD) BYTE sacl[64];
};

// Fills security for user (the SID that gets read and execute). False when a
// step fails; security is then unusable.
bool BuildFolderSecurity(PSID user, FolderSecurity* security);

// The current user's SID from the process token, into sid (SECURITY_MAX_SID_SIZE bytes).
bool CurrentUserSid(BYTE* sid);

// The final path of what handle refers to, every link resolved, in plain
// spelling, into path (kPathUnits).
bool FinalPlainPath(HANDLE handle, wchar_t* path);

// FolderHeld when folder (opened without following a link) is a folder, no
// reparse point, whose final path is expected; FolderLinked when it is a link
// or leads elsewhere; FolderUnusable otherwise.
FolderHold CheckOpenFolder(HANDLE folder, const wchar_t* expected);

// Makes folder (opened with kInstallFolderAccess and read sharing only, no link
// followed) the held install folder when CheckOpenFolder accepts it: sets the folder's descriptor (owner, protected DACL,
// label) and keeps the handle until the process ends, so the folder can be
// neither renamed nor replaced meanwhile. The handle is the held folder's on
// FolderHeld and stays the caller's otherwise.
FolderHold HoldOpenFolder(HANDLE folder, const wchar_t* expected);

// Sets the folder's descriptor on a file open in it (with WRITE_DAC and
// WRITE_OWNER access): a file kept from an earlier version took its entries
// from the user's profile, which let the user change it between runs.
bool ProtectFolderFile(HANDLE file);

// Opens (disposition as CreateFileW; CREATE_ALWAYS truncates only after the
// checks) the file name directly inside the held folder without following a
// link, and refuses it unless it is a plain file with one link whose final path
// is g_installFolderPath + "\" + name. INVALID_HANDLE_VALUE on refusal or
// failure, with nothing truncated.
HANDLE OpenFolderFile(const wchar_t* name, DWORD access, DWORD share, DWORD disposition);

// Writes into path (kPathUnits) the final path of the open file when it is
// g_installFolderPath + "\" + name, the file directly in the held folder.
bool FolderFilePath(HANDLE file, const wchar_t* name, wchar_t* path);

// Marks the open file (opened with DELETE access) for deletion at its last close.
bool DeleteOpenFile(HANDLE file);

// Moves what handle (opened with DELETE access) refers to, file or folder, to
// folder\name, where folder is a final path in plain spelling; replaces an
// entry of that name only when replace is true.
bool MoveOpenHandle(HANDLE handle, const wchar_t* folder, const wchar_t* name, bool replace);

// Moves the open file (opened with DELETE access) to name in the held folder,
// replacing a file of that name, then flushes the folder so that the move
// survives a power loss.
bool RenameOpenFile(HANDLE file, const wchar_t* name);
