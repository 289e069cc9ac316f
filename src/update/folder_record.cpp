// The launcher's records under HKLM\SOFTWARE\TovrinTools, values named by the
// user's SID; the install folder's, the bare SID, holds the volume serial and
// file ID of the folder the launcher made and the fingerprint of its owner and
// DACL (older launchers recorded the ID alone). The key carries rights of its
// own (SYSTEM and Administrators full control, Users read), not
// HKLM\SOFTWARE's, which another program's installer might loosen; a key that
// lets anyone else write is not trusted, so no program of the user can write
// or forge a record.
#include "update/folder_record.h"

#include <sddl.h>

#include <cstring>
#include <cwchar>

#include "common/folder_files.h"
#include "update/record_key_rights.h"

namespace {

constexpr wchar_t kRecordKey[] = L"SOFTWARE\\TovrinTools";
// Protected: nothing is inherited from HKLM\SOFTWARE.
constexpr wchar_t kRecordKeyRights[] = L"O:BAD:P(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)(A;OICI;KR;;;BU)";
constexpr DWORD kDescriptorBytes = 4096;

bool s_keyDistrusted = false;

// FILE_ID_INFO and its class, which the Windows 7 headers leave out.
struct FileIdInformation {
    ULONGLONG volume;
    BYTE file[16];
};
constexpr FILE_INFO_BY_HANDLE_CLASS kFileIdInfo = static_cast<FILE_INFO_BY_HANDLE_CLASS>(18);

// The folder's record; a record of the older form is its id alone.
struct FolderRecord {
    FileId id;
    FolderFingerprint fingerprint;
};
static_assert(sizeof(FolderRecord) == sizeof(FileId) + sizeof(FolderFingerprint), "no padding");

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

// Whether the open key's owner and DACL leave writing to administrators.
bool KeyTrusted(HKEY key)
{
    BYTE descriptor[kDescriptorBytes];
    DWORD bytes = sizeof(descriptor);
    return RegGetKeySecurity(key, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, descriptor, &bytes) ==
               ERROR_SUCCESS &&
           OnlyAdministratorsMayWrite(descriptor, bytes);
}

// Opens the record key for reading; one that others may write counts as none.
HKEY OpenTrustedKey()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, KEY_QUERY_VALUE | READ_CONTROL | KEY_WOW64_64KEY, &key) !=
        ERROR_SUCCESS) {
        return nullptr;
    }
    if (!KeyTrusted(key)) {
        s_keyDistrusted = true;
        RegCloseKey(key);
        return nullptr;
    }
    return key;
}

// Opens the record key for writing, made with its own rights. A key that
// others could write is removed first, with every record in it, and made
// anew: a handle that someone opened for writing meanwhile then belongs to the
// removed key. The rights are set again on every write, which also gives a key
// of an earlier launcher (HKLM\SOFTWARE's inherited rights) its own.
HKEY CreateTrustedKey()
{
    PSECURITY_DESCRIPTOR rights = nullptr;
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), nullptr, FALSE};
    HKEY key = nullptr;
    bool ok = false;

    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kRecordKeyRights, SDDL_REVISION_1, &rights, nullptr)) {
        goto cleanup;
    }
    attributes.lpSecurityDescriptor = rights;
    for (int attempt = 0; attempt < 2 && !ok; ++attempt) {
        if (key != nullptr) {
            RegCloseKey(key);
            key = nullptr;
            s_keyDistrusted = true;
            if (RegDeleteTreeW(HKEY_LOCAL_MACHINE, kRecordKey) != ERROR_SUCCESS) {
                goto cleanup;
            }
        }
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_SET_VALUE | READ_CONTROL | WRITE_DAC | WRITE_OWNER | KEY_WOW64_64KEY, &attributes, &key,
                            nullptr) != ERROR_SUCCESS) {
            goto cleanup;
        }
        // Judged before its rights are set again: values that someone wrote
        // while the key was open to them must go with it.
        if (KeyTrusted(key)) {
            // The owner too: an elevated administrator may give a key to
            // Administrators, and without it Wine hands the key to another owner.
            RegSetKeySecurity(key, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, rights);
            ok = true;
        }
    }

cleanup:
    if (!ok && key != nullptr) {
        RegCloseKey(key);
        key = nullptr;
    }
    LocalFree(rights);
    return key;
}

}  // namespace

bool RecordKeyDistrusted()
{
    return s_keyDistrusted;
}

bool ReadFileId(HANDLE handle, FileId* id)
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

    if (name == nullptr || (key = OpenTrustedKey()) == nullptr) {
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

    if (name == nullptr || (key = CreateTrustedKey()) == nullptr) {
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
    FileId actual = {};
    FolderFingerprint now = {};
    if (!ReadFileId(handle, &actual) || !ReadHandleFingerprint(handle, &now)) {
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
    return ReadFileId(handle, &record.id) && ReadHandleFingerprint(handle, &record.fingerprint) &&
           WriteUserRecord(L"", &record, sizeof(record));
}
