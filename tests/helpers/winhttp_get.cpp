// Test helper: one HTTPS GET through WinHTTP with its own certificate checks, as
// any program of the user makes it. Prints the status (or the error); exit code
// 0 on status 200. Usage: winhttp_get.exe <host> <port> <path>
#include <windows.h>
#include <winhttp.h>

#include <cstdio>
#include <cstdlib>

int wmain(int argc, wchar_t** argv)
{
    HINTERNET session = nullptr;
    HINTERNET connection = nullptr;
    HINTERNET request = nullptr;
    DWORD status = 0;
    DWORD size = sizeof(status);

    if (argc != 4) {
        fwprintf(stderr, L"usage: winhttp_get <host> <port> <path>\n");
        return 2;
    }
    session =
        WinHttpOpen(L"winhttp_get", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    connection = session != nullptr ? WinHttpConnect(session, argv[1], static_cast<INTERNET_PORT>(_wtoi(argv[2])), 0)
                                    : nullptr;
    request = connection != nullptr ? WinHttpOpenRequest(connection, L"GET", argv[3], nullptr, WINHTTP_NO_REFERER,
                                                         WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE)
                                    : nullptr;
    if (request != nullptr && WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, nullptr, 0, 0, 0) &&
        WinHttpReceiveResponse(request, nullptr) &&
        WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
        wprintf(L"status %lu\n", status);
    } else {
        wprintf(L"error %lu\n", GetLastError());
    }
    if (request != nullptr) {
        WinHttpCloseHandle(request);
    }
    if (connection != nullptr) {
        WinHttpCloseHandle(connection);
    }
    if (session != nullptr) {
        WinHttpCloseHandle(session);
    }
    return status == 200 ? 0 : 1;
}
