// The launcher's records under HKLM\SOFTWARE\TovrinTools, values named by the
// user's SID; the install folder's, the bare SID, holds the volume serial and
// file ID of the folder the launcher made and the fingerprint of its owner and
// DACL (older launchers recorded the ID alone). HKLM\SOFTWARE takes new keys and
// values from administrators only, so no program of the user can write or forge them.
#include "update/folder_record.h"

#include <sddl.h>

#include <cstring>
#include <cwchar>

#include "common/folder_files.h"

namespace {

constexpr wchar_t kRecordKey[] = L"SOFTWARE\\TovrinTools";

// FILE_ID_INFO and its class, which the Windows 7 headers leave out.
struct FileIdInformation {
    ULONGLONG volume;
    BYTE file[16];
};
constexpr FILE_INFO_BY_HANDLE_CLASS kFileIdInfo = static_cast<FILE_INFO_BY_HANDLE_CLASS>(18);

// The folder's record; a record of the older form is its id alone.
struct FolderRecord {
    FolderId id;
    FolderFingerprint fingerprint;
};
static_assert(sizeof(FolderRecord) == sizeof(FolderId) + sizeof(FolderFingerprint), "no padding");

// The fingerprint of the owner and DACL of what handle (with READ_CONTROL) refers to.
bool ReadHandleFingerprint(HANDLE handle, FolderFingerprint* fingerprint)
{
    alignas(DWORD) BYTE descriptor[1024] = {};
    DWORD needed = 0;
    return GetKernelObjectSecurity(handle, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, descriptor,
                                   sizeof(descriptor), &needed) &&
           ReadFolderFingerprint(descriptor, sizeof(descriptor), fingerprint);
}

// The current user's SID as text followed by suffix, the name of one of the
// user's values; free with LocalFree.
wchar_t* UserValueName(const wchar_t* suffix)
{
    BYTE sid[SECURITY_MAX_SID_SIZE];
    wchar_t* text = nullptr;
    wchar_t* name = nullptr;
    if (CurrentUserSid(sid) && ConvertSidToStringSidW(sid, &text)) {
        const size_t units = wcslen(text) + wcslen(suffix) + 1;
        name = static_cast<wchar_t*>(LocalAlloc(LMEM_FIXED, units * sizeof(wchar_t)));
        if (name != nullptr) {
            wcscpy(name, text);
            wcscat(name, suffix);
        }
    }
    LocalFree(text);
    return name;
}

}  // namespace

bool ReadFolderId(HANDLE handle, FolderId* id)
{
    FileIdInformation info = {};
    BY_HANDLE_FILE_INFORMATION basic = {};
    memset(id, 0, sizeof(*id));
    // The 128-bit ID where the system has it (Windows 8 on): on NTFS it carries
    // the sequence number that tells a new folder from a deleted one's reused slot.
    if (GetFileInformationByHandleEx(handle, kFileIdInfo, &info, sizeof(info))) {
        id->volume = info.volume;
        memcpy(id->file, info.file, sizeof(id->file));
        return true;
    }
    if (!GetFileInformationByHandle(handle, &basic)) {
        return false;
    }
    id->volume = basic.dwVolumeSerialNumber;
    memcpy(id->file, &basic.nFileIndexLow, sizeof(basic.nFileIndexLow));
    memcpy(id->file + sizeof(basic.nFileIndexLow), &basic.nFileIndexHigh, sizeof(basic.nFileIndexHigh));
    return true;
}

bool ReadUserRecord(const wchar_t* suffix, void* data, DWORD bytes)
{
    HKEY key = nullptr;
    DWORD type = 0;
    DWORD read = bytes;
    bool ok = false;
    wchar_t* name = UserValueName(suffix);

    if (name == nullptr ||
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
        goto cleanup;
    }
    ok = RegQueryValueExW(key, name, nullptr, &type, static_cast<BYTE*>(data), &read) == ERROR_SUCCESS &&
         type == REG_BINARY && read == bytes;

cleanup:
    if (key != nullptr) {
        RegCloseKey(key);
    }
    LocalFree(name);
    return ok;
}

bool WriteUserRecord(const wchar_t* suffix, const void* data, DWORD bytes)
{
    HKEY key = nullptr;
    bool ok = false;
    wchar_t* name = UserValueName(suffix);

    if (name == nullptr ||
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        goto cleanup;
    }
    ok = RegSetValueExW(key, name, 0, REG_BINARY, static_cast<const BYTE*>(data), bytes) == ERROR_SUCCESS;

cleanup:
    if (key != nullptr) {
        RegCloseKey(key);
    }
    LocalFree(name);
    return ok;
}

FolderMatch MatchRecordedFolder(HANDLE handle)
{
    FolderRecord recorded = {};
    FolderId actual = {};
    FolderFingerprint now = {};
    if (!ReadFolderId(handle, &actual) || !ReadHandleFingerprint(handle, &now)) {
        return FolderMatchOther;
    }
    if (ReadUserRecord(L"", &recorded, sizeof(recorded))) {
        return MatchFolder(memcmp(&recorded.id, &actual, sizeof(actual)) == 0, &recorded.fingerprint, now);
    }
    if (ReadUserRecord(L"", &recorded.id, sizeof(recorded.id))) {
        return MatchFolder(memcmp(&recorded.id, &actual, sizeof(actual)) == 0, nullptr, now);
    }
    return FolderMatchOther;
}

bool RecordFolder(HANDLE handle)
{
    FolderRecord record = {};
    return ReadFolderId(handle, &record.id) && ReadHandleFingerprint(handle, &record.fingerprint) &&
           WriteUserRecord(L"", &record, sizeof(record));
}
