// The trusted install folder. Its parent is the user's own folder, where the
// user may rename or delete any entry (FILE_DELETE_CHILD) and make new ones,
// whatever their own rights say: a folder found there is trusted only when it
// is the one this launcher made and recorded, and a new one is made and opened
// in one step, so nothing can be put in its place in between.
#include "update/install_folder.h"

#include <winternl.h>
#include <bcrypt.h>

#include <cwchar>

#include "common/path_text.h"
#include "update/folder_record.h"

namespace {

constexpr NTSTATUS kAccessDenied = static_cast<NTSTATUS>(0xC0000022);
constexpr NTSTATUS kNameNotFound = static_cast<NTSTATUS>(0xC0000034);
constexpr NTSTATUS kNameCollision = static_cast<NTSTATUS>(0xC0000035);
constexpr NTSTATUS kSharingViolation = static_cast<NTSTATUS>(0xC0000043);
// Enough to see what a folder is and to rename it aside, also one whose own
// rights shut administrators out (the parent's FILE_DELETE_CHILD grants DELETE).
constexpr DWORD kSetAsideAccess = DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr int kNumberedNames = 99;
// After the numbered names, names nobody can make ahead: 64 random bits each.
// A clash is mere chance, so a few tries always find one free.
constexpr int kUnpredictableNames = 4;
// A program that makes the folder again each time one is set aside only keeps
// the launcher from running; it never gets a folder of its own used.
constexpr int kTakeAttempts = 3;

// Opens (FILE_OPEN) or makes (FILE_CREATE, with security) parent\name without
// following a link, read sharing only.
NTSTATUS OpenInFolder(HANDLE parent, const wchar_t* name, DWORD access, ULONG disposition, void* security,
                      HANDLE* opened)
{
    UNICODE_STRING text;
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK io = {};
    HANDLE handle = nullptr;
    text.Buffer = const_cast<wchar_t*>(name);
    text.Length = static_cast<USHORT>(wcslen(name) * sizeof(wchar_t));
    text.MaximumLength = text.Length;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, parent, security);
    const ULONG options = FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT |
                          (disposition == FILE_CREATE ? FILE_DIRECTORY_FILE : 0);
    const NTSTATUS status = NtCreateFile(&handle, access, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                                         FILE_SHARE_READ, disposition, options, nullptr, 0);
    *opened = status >= 0 ? handle : INVALID_HANDLE_VALUE;
    return status;
}

// A new folder parent\name carrying the folder's descriptor from its first moment.
NTSTATUS MakeFolder(HANDLE parent, const wchar_t* name, HANDLE* made)
{
    BYTE user[SECURITY_MAX_SID_SIZE];
    FolderSecurity security;
    *made = INVALID_HANDLE_VALUE;
    if (!CurrentUserSid(user) || !BuildFolderSecurity(user, &security)) {
        return kAccessDenied;
    }
    return OpenInFolder(parent, name, kInstallFolderAccess, FILE_CREATE, &security.descriptor, made);
}

bool IsNetworkFolder(const wchar_t* path)
{
    const wchar_t root[] = {path[0], L':', L'\\', L'\0'};
    return path[0] == L'\\' || path[1] != L':' || GetDriveTypeW(root) == DRIVE_REMOTE;
}

// Whether the volume of the folder open as folder keeps owners and DACLs: on
// one that does not (FAT, exFAT) nothing the launcher makes there is protected.
bool KeepsSecurity(HANDLE folder)
{
    DWORD flags = 0;
    return GetVolumeInformationByHandleW(folder, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
           (flags & FILE_PERSISTENT_ACLS) != 0;
}

// Whether this launcher's own exe lies in folder: a folder holding a running
// program cannot be renamed on Windows, and the launcher must not pull its own
// folder away from under itself anywhere.
bool RunsFromInside(const wchar_t* folder)
{
    wchar_t own[kPathUnits];
    wchar_t ownFinal[kPathUnits];
    const DWORD length = GetModuleFileNameW(nullptr, own, kPathUnits);
    if (length == 0 || length >= kPathUnits) {
        return true;
    }
    HANDLE file = CreateFileW(own, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    const bool resolved = file != INVALID_HANDLE_VALUE && FinalPlainPath(file, ownFinal);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    return IsInsideFolder(folder, resolved ? ownFinal : own);
}

// The name.untrusted-N name to try as the number-th for a set-aside folder:
// the numbered ones first, then ones with a random suffix, which no program
// can have taken ahead.
bool SetAsideName(const wchar_t* name, int number, wchar_t* aside)
{
    if (number <= kNumberedNames) {
        return swprintf(aside, kPathUnits, L"%ls.untrusted-%d", name, number) > 0;
    }
    unsigned long random[2] = {};
    return BCRYPT_SUCCESS(BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(random), sizeof(random),
                                          BCRYPT_USE_SYSTEM_PREFERRED_RNG)) &&
           swprintf(aside, kPathUnits, L"%ls.untrusted-%08lx%08lx", name, random[0], random[1]) > 0;
}

// Renames what is open as handle (a folder or a file) to a free set-aside name
// in parentPath; never deletes it, nor opens anything in it. Whatever keeps one
// name from being used (taken, or put there in some form that fails otherwise),
// the next is tried: no earlier program can have taken the random ones.
bool SetAside(HANDLE handle, const wchar_t* parentPath, const wchar_t* name, wchar_t* setAside)
{
    wchar_t aside[kPathUnits];
    for (int number = 1; number <= kNumberedNames + kUnpredictableNames; ++number) {
        if (SetAsideName(name, number, aside) && MoveOpenHandle(handle, parentPath, aside, false)) {
            wcscpy(setAside, aside);
            return true;
        }
    }
    return false;
}

// Whether what is open as handle is a link opened as itself (a junction or a
// symbolic link, not what it leads to): renaming it moves the link alone. Where
// the system followed the link instead (Wine does), only the final path shows
// it, and nothing may be renamed.
bool IsLinkItself(HANDLE handle)
{
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    return GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof(tag)) &&
           (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Whether what is open as handle at the install path is the recorded folder:
// a folder (CheckOpenFolder's FolderHeld), and MatchRecordedFolder says so.
FolderMatch MatchAtPath(HANDLE handle, FolderHold checked)
{
    return checked == FolderHeld ? MatchRecordedFolder(handle) : FolderMatchOther;
}

bool IsRecorded(FolderMatch match)
{
    return match == FolderMatchSame || match == FolderMatchUpgrade;
}

// Holds folder, the recorded one, and brings a record of the older form up to date.
FolderHold HoldRecorded(HANDLE folder, const wchar_t* expected, FolderMatch match, FolderTaken* taken)
{
    const FolderHold result = HoldOpenFolder(folder, expected);
    if (result == FolderHeld && match == FolderMatchUpgrade) {
        taken->upgraded = true;
        taken->recorded = RecordFolder(folder);
    }
    return result;
}

// Makes parent\name, the install folder, and holds and records it: true with
// the outcome in *result, false where someone made one meanwhile, which the
// next attempt judges like any other.
bool MakeAtPath(HANDLE parent, const wchar_t* name, const wchar_t* expected, FolderTaken* taken, FolderHold* result)
{
    HANDLE folder = INVALID_HANDLE_VALUE;
    const NTSTATUS status = MakeFolder(parent, name, &folder);
    *result = FolderUnusable;
    if (status == kNameCollision) {
        return false;
    }
    if (status >= 0) {
        taken->made = true;
        // Recorded as it reads back once protected, which is how every later run leaves it.
        *result = HoldOpenFolder(folder, expected);
        taken->recorded = *result == FolderHeld && RecordFolder(folder);
    }
    if (*result != FolderHeld && folder != INVALID_HANDLE_VALUE) {
        CloseHandle(folder);  // once held it is g_installFolder
    }
    return true;
}

// Judges found, what is open at the install path with the install folder's
// access: true with the outcome in *result where it is the recorded folder,
// now held, or a link that cannot be set aside alone; false where it is to be
// set aside. The caller closes found unless it is held.
bool HoldAtPath(HANDLE found, const wchar_t* expected, FolderTaken* taken, FolderHold* result)
{
    *result = CheckOpenFolder(found, expected);
    if (*result == FolderLinked && !IsLinkItself(found)) {
        return true;
    }
    const FolderMatch match = MatchAtPath(found, *result);
    if (IsRecorded(match)) {
        *result = HoldRecorded(found, expected, match, taken);
        return true;
    }
    *result = FolderUnusable;
    return false;
}

// Sets aside what is at parent\name: true with the outcome in *result where it
// cannot be (nor opened to be), false once it is, or where it turned out to be
// the recorded folder after all, so that the next attempt judges the path afresh.
bool SetAsideAtPath(HANDLE parent, const wchar_t* parentPath, const wchar_t* name, const wchar_t* expected,
                    FolderTaken* taken, FolderHold* result)
{
    HANDLE found = INVALID_HANDLE_VALUE;
    FolderMatch match = FolderMatchOther;
    NTSTATUS status = 0;
    bool settled = true;

    // Opened once more to be renamed, which needs DELETE access; reading its
    // descriptor as well where its rights allow.
    status = OpenInFolder(parent, name, kSetAsideAccess | READ_CONTROL, FILE_OPEN, nullptr, &found);
    if (status == kAccessDenied) {
        status = OpenInFolder(parent, name, kSetAsideAccess, FILE_OPEN, nullptr, &found);
    }
    if (status < 0) {
        *result = status == kSharingViolation ? FolderInUse : FolderForeign;
        goto cleanup;
    }
    *result = CheckOpenFolder(found, expected);
    if (*result == FolderLinked && !IsLinkItself(found)) {
        goto cleanup;
    }
    // The recorded folder, moved back meanwhile, is judged again from the
    // start; anything else there, a file or a link too, is set aside.
    match = MatchAtPath(found, *result);
    if (!IsRecorded(match)) {
        if (RunsFromInside(expected) || !SetAside(found, parentPath, name, taken->setAside)) {
            *result = FolderForeign;
            goto cleanup;
        }
        taken->setAsideMatch = match;
        taken->setAsideFile = *result != FolderHeld && *result != FolderLinked;
        taken->setAsideLink = *result == FolderLinked;
    }
    *result = FolderUnusable;
    settled = false;

cleanup:
    if (found != INVALID_HANDLE_VALUE) {
        CloseHandle(found);
    }
    return settled;
}

// One attempt at taking parent\name: true with the outcome in *result, false
// where a folder was made or something set aside meanwhile.
bool TakeOnce(HANDLE parent, const wchar_t* parentPath, const wchar_t* name, const wchar_t* expected,
              FolderTaken* taken, FolderHold* result)
{
    HANDLE found = INVALID_HANDLE_VALUE;
    const NTSTATUS status = OpenInFolder(parent, name, kInstallFolderAccess, FILE_OPEN, nullptr, &found);
    *result = FolderUnusable;
    if (status == kNameNotFound) {
        return MakeAtPath(parent, name, expected, taken, result);
    }
    if (status == kSharingViolation) {
        *result = FolderInUse;
        return true;
    }
    // The launcher's own folder never shuts administrators out.
    if (status < 0 && status != kAccessDenied) {
        return true;
    }
    if (status >= 0) {
        const bool settled = HoldAtPath(found, expected, taken, result);
        if (*result != FolderHeld) {
            CloseHandle(found);  // once held it is g_installFolder
        }
        if (settled) {
            return true;
        }
    }
    return SetAsideAtPath(parent, parentPath, name, expected, taken, result);
}

}  // namespace

FolderHold TakeInstallFolder(const wchar_t* base, const wchar_t* name, FolderTaken* taken)
{
    wchar_t parentPath[kPathUnits];
    wchar_t expected[kPathUnits];
    FolderHold result = FolderUnusable;

    *taken = FolderTaken{};
    // Links above the folder are allowed (a profile moved to another drive);
    // from here on only their target counts.
    HANDLE parent = CreateFileW(base, FILE_TRAVERSE | FILE_ADD_SUBDIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    // A file server answers every question about its files as it likes.
    if (parent != INVALID_HANDLE_VALUE && FinalPlainPath(parent, parentPath) && !IsNetworkFolder(parentPath) &&
        KeepsSecurity(parent) && JoinPath(parentPath, name, expected, kPathUnits)) {
        for (int attempt = 0; attempt < kTakeAttempts; ++attempt) {
            if (TakeOnce(parent, parentPath, name, expected, taken, &result)) {
                break;
            }
        }
    }
    if (parent != INVALID_HANDLE_VALUE) {
        CloseHandle(parent);
    }
    return result;
}
