// Test helper: asks WinVerifyTrust whether a file's Authenticode signature is
// valid (WINTRUST_ACTION_GENERIC_VERIFY_V2, no UI, no revocation checks, which
// would need the network) and prints its result as "result 0x%08lx".
// Usage: verify_trust.exe <file>. Exit code 0 when the result is 0, else 1.
#include <windows.h>
#include <softpub.h>
#include <wintrust.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2) {
        fwprintf(stderr, L"usage: verify_trust <file>\n");
        return 2;
    }
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = argv[1];
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = WTD_REVOCATION_CHECK_NONE;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    LONG result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    // The state is released whatever the result.
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    wprintf(L"result 0x%08lx\n", static_cast<unsigned long>(result));
    return result == 0 ? 0 : 1;
}
