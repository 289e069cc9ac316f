// The install folder's record: under HKLM\SOFTWARE\TovrinTools, one value per
// user (named by the user's SID) holding the volume serial and file ID of the
// folder the launcher made. HKLM\SOFTWARE takes new keys and values from
// administrators only, so no program of the user can write or forge it.
#include "update/folder_record.h"

#include <sddl.h>

#include <cstring>

#include "common/folder_files.h"

namespace {

constexpr wchar_t kRecordKey[] = L"SOFTWARE\\TovrinTools";

// FILE_ID_INFO and its class, which the Windows 7 headers leave out.
struct FileIdInformation {
    ULONGLONG volume;
    BYTE file[16];
};
constexpr FILE_INFO_BY_HANDLE_CLASS kFileIdInfo = static_cast<FILE_INFO_BY_HANDLE_CLASS>(18);

// The current user's SID as text, the record's value name; free with LocalFree.
wchar_t* UserValueName()
{
    BYTE sid[SECURITY_MAX_SID_SIZE];
    wchar_t* text = nullptr;
    return CurrentUserSid(sid) && ConvertSidToStringSidW(sid, &text) ? text : nullptr;
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

bool IsRecordedFolder(HANDLE handle)
{
    HKEY key = nullptr;
    FolderId recorded = {};
    FolderId actual = {};
    DWORD type = 0;
    DWORD bytes = sizeof(recorded);
    bool ok = false;
    wchar_t* name = UserValueName();

    if (name == nullptr || !ReadFolderId(handle, &actual) ||
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
        goto cleanup;
    }
    ok = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&recorded), &bytes) == ERROR_SUCCESS &&
         type == REG_BINARY && bytes == sizeof(recorded) && memcmp(&recorded, &actual, sizeof(actual)) == 0;

cleanup:
    if (key != nullptr) {
        RegCloseKey(key);
    }
    LocalFree(name);
    return ok;
}

bool RecordFolder(HANDLE handle)
{
    HKEY key = nullptr;
    FolderId id = {};
    bool ok = false;
    wchar_t* name = UserValueName();

    if (name == nullptr || !ReadFolderId(handle, &id) ||
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        goto cleanup;
    }
    ok = RegSetValueExW(key, name, 0, REG_BINARY, reinterpret_cast<const BYTE*>(&id), sizeof(id)) == ERROR_SUCCESS;

cleanup:
    if (key != nullptr) {
        RegCloseKey(key);
    }
    LocalFree(name);
    return ok;
}
