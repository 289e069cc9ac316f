// The held, protected install folder and the file work in it by handle: each
// file is opened once, checked through its handle and then read, moved or
// deleted through that handle, so the file acted on is the file checked.
#include "common/folder_files.h"

#include <cstddef>
#include <cstring>
#include <cwchar>

#include "common/path_text.h"

HANDLE g_installFolder = INVALID_HANDLE_VALUE;
wchar_t g_installFolderPath[kPathUnits] = {};

namespace {

// Room for "\\?\UNC\" before a path of kPathUnits.
constexpr DWORD kFinalPathUnits = kPathUnits + 8;

// A plain file (no reparse point, no folder) with one link at
// g_installFolderPath\name: what was opened is what the name means in the held
// folder, and no other name elsewhere leads to it.
bool IsFolderFile(HANDLE file, const wchar_t* name)
{
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    FILE_STANDARD_INFO standard = {};
    wchar_t path[kPathUnits];
    return GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof(tag)) &&
           (tag.FileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0 &&
           GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof(standard)) &&
           standard.NumberOfLinks == 1 && FolderFilePath(file, name, path);
}

}  // namespace

bool FinalPlainPath(HANDLE handle, wchar_t* path)
{
    wchar_t finalPath[kFinalPathUnits];
    const DWORD length =
        GetFinalPathNameByHandleW(handle, finalPath, kFinalPathUnits, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    return length > 0 && length < kFinalPathUnits && PlainFinalPath(finalPath, path, kPathUnits);
}

bool CurrentUserSid(BYTE* sid)
{
    HANDLE token = nullptr;
    union {
        TOKEN_USER user;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } info;
    DWORD bytes = 0;
    bool ok = false;

    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return false;
    }
    ok = GetTokenInformation(token, TokenUser, &info, sizeof(info), &bytes) &&
         CopySid(SECURITY_MAX_SID_SIZE, sid, info.user.User.Sid);
    CloseHandle(token);
    return ok;
}

bool BuildFolderSecurity(PSID user, FolderSecurity* security)
{
    ACL* dacl = reinterpret_cast<ACL*>(security->dacl);
    ACL* sacl = reinterpret_cast<ACL*>(security->sacl);
    const DWORD inherited = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    DWORD ownerBytes = sizeof(security->owner);
    DWORD systemBytes = sizeof(security->system);
    DWORD highBytes = sizeof(security->high);

    return CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, security->owner, &ownerBytes) &&
           CreateWellKnownSid(WinLocalSystemSid, nullptr, security->system, &systemBytes) &&
           CreateWellKnownSid(WinHighLabelSid, nullptr, security->high, &highBytes) &&
           InitializeAcl(dacl, sizeof(security->dacl), ACL_REVISION) &&
           AddAccessAllowedAceEx(dacl, ACL_REVISION, inherited, FILE_ALL_ACCESS, security->system) &&
           AddAccessAllowedAceEx(dacl, ACL_REVISION, inherited, FILE_ALL_ACCESS, security->owner) &&
           AddAccessAllowedAceEx(dacl, ACL_REVISION, inherited, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE, user) &&
           InitializeAcl(sacl, sizeof(security->sacl), ACL_REVISION) &&
           AddMandatoryAce(sacl, ACL_REVISION, inherited, SYSTEM_MANDATORY_LABEL_NO_WRITE_UP, security->high) &&
           InitializeSecurityDescriptor(&security->descriptor, SECURITY_DESCRIPTOR_REVISION) &&
           SetSecurityDescriptorOwner(&security->descriptor, security->owner, FALSE) &&
           SetSecurityDescriptorDacl(&security->descriptor, TRUE, dacl, FALSE) &&
           SetSecurityDescriptorSacl(&security->descriptor, TRUE, sacl, FALSE) &&
           // Protected: nothing the user may change in the folders above reaches this one.
           SetSecurityDescriptorControl(&security->descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
}

FolderHold CheckOpenFolder(HANDLE folder, const wchar_t* expected)
{
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    wchar_t folderPath[kPathUnits];

    if (!GetFileInformationByHandleEx(folder, FileAttributeTagInfo, &tag, sizeof(tag)) ||
        !FinalPlainPath(folder, folderPath)) {
        return FolderUnusable;
    }
    // A junction is opened as itself and shows its tag; any other redirection
    // shows in the final path.
    if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || !EqualIgnoringAsciiCase(folderPath, expected)) {
        return FolderLinked;
    }
    return (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? FolderHeld : FolderUnusable;
}

FolderHold HoldOpenFolder(HANDLE folder, const wchar_t* expected)
{
    const FolderHold checked = CheckOpenFolder(folder, expected);
    if (checked != FolderHeld) {
        return checked;
    }
    if (!ProtectFolderFile(folder) || !FinalPlainPath(folder, g_installFolderPath)) {
        return FolderUnusable;
    }
    g_installFolder = folder;
    return FolderHeld;
}

bool ProtectFolderFile(HANDLE file)
{
    BYTE user[SECURITY_MAX_SID_SIZE];
    FolderSecurity security;
    return CurrentUserSid(user) && BuildFolderSecurity(user, &security) &&
           SetKernelObjectSecurity(file, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                             LABEL_SECURITY_INFORMATION,
                                   &security.descriptor);
}

HANDLE OpenFolderFile(const wchar_t* name, DWORD access, DWORD share, DWORD disposition)
{
    wchar_t path[kPathUnits];
    if (g_installFolder == INVALID_HANDLE_VALUE || !JoinPath(g_installFolderPath, name, path, kPathUnits)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // A link planted under the name must not be truncated before it is refused.
    const bool truncate = disposition == CREATE_ALWAYS;
    HANDLE file = CreateFileW(path, access, share, nullptr, truncate ? OPEN_ALWAYS : disposition,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return INVALID_HANDLE_VALUE;
    }
    FILE_END_OF_FILE_INFO empty = {};
    if (!IsFolderFile(file, name) ||
        (truncate && !SetFileInformationByHandle(file, FileEndOfFileInfo, &empty, sizeof(empty)))) {
        CloseHandle(file);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

bool FolderFilePath(HANDLE file, const wchar_t* name, wchar_t* path)
{
    wchar_t expected[kPathUnits];
    return g_installFolder != INVALID_HANDLE_VALUE && JoinPath(g_installFolderPath, name, expected, kPathUnits) &&
           FinalPlainPath(file, path) && EqualIgnoringAsciiCase(path, expected);
}

bool DeleteOpenFile(HANDLE file)
{
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof(disposition)) != FALSE;
}

bool MoveOpenHandle(HANDLE handle, const wchar_t* folder, const wchar_t* name, bool replace)
{
    // FILE_RENAME_INFO ends in the target's NT path; the buffer has room for a whole one.
    alignas(FILE_RENAME_INFO) BYTE buffer[sizeof(FILE_RENAME_INFO) + kFinalPathUnits * sizeof(wchar_t)] = {};
    FILE_RENAME_INFO* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer);
    wchar_t target[kFinalPathUnits];
    // Install folders are never on a network volume, so folder has a drive letter.
    const int units = swprintf(target, kFinalPathUnits, L"\\??\\%ls\\%ls", folder, name);
    if (units < 0 || static_cast<DWORD>(units) >= kFinalPathUnits) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    rename->ReplaceIfExists = replace ? TRUE : FALSE;
    rename->FileNameLength = static_cast<DWORD>(units) * sizeof(wchar_t);
    memcpy(buffer + offsetof(FILE_RENAME_INFO, FileName), target, rename->FileNameLength);
    return SetFileInformationByHandle(handle, FileRenameInfo, rename, sizeof(buffer)) != FALSE;
}

bool RenameOpenFile(HANDLE file, const wchar_t* name)
{
    // To the held folder's final path: it cannot be renamed, nor a folder above
    // it (one with an open file below), while it is held.
    if (g_installFolder == INVALID_HANDLE_VALUE || !MoveOpenHandle(file, g_installFolderPath, name, true)) {
        return false;
    }
    // The move is in the folder's entries: they reach the disk before the run goes on.
    return FlushFileBuffers(g_installFolder) != FALSE;
}
