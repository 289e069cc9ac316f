// Test helper: adds a CA certificate (DER or PEM file) to the LocalMachine Root
// store of the Wine prefix it runs in, so WinHTTP trusts the loopback update host;
// with --user to the current user's Root store, as any program of the user can.
// Usage: install_ca.exe [--user] <certificate file>. Exit code 0 on success.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv)
{
    HANDLE file = INVALID_HANDLE_VALUE;
    HCERTSTORE store = nullptr;
    BYTE* contents = nullptr;
    BYTE* der = nullptr;
    DWORD size = 0;
    DWORD read = 0;
    DWORD derSize = 0;
    const bool user = argc == 3 && wcscmp(argv[1], L"--user") == 0;
    bool ok = false;

    if (argc != (user ? 3 : 2)) {
        fwprintf(stderr, L"usage: install_ca [--user] <certificate.der|.pem>\n");
        return 2;
    }
    argv += user ? 1 : 0;
    file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        fwprintf(stderr, L"install_ca: cannot open %ls (error %lu)\n", argv[1], GetLastError());
        goto cleanup;
    }
    size = GetFileSize(file, nullptr);
    if (size == INVALID_FILE_SIZE || size == 0) {
        goto cleanup;
    }
    contents = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), 0, size));
    if (contents == nullptr || !ReadFile(file, contents, size, &read, nullptr) || read != size) {
        goto cleanup;
    }
    // PEM text is turned into DER; a file that is not PEM is taken as DER as it is.
    if (CryptStringToBinaryA(reinterpret_cast<const char*>(contents), size, CRYPT_STRING_BASE64HEADER, nullptr,
                             &derSize, nullptr, nullptr)) {
        der = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), 0, derSize));
        if (der == nullptr || !CryptStringToBinaryA(reinterpret_cast<const char*>(contents), size,
                                                    CRYPT_STRING_BASE64HEADER, der, &derSize, nullptr, nullptr)) {
            goto cleanup;
        }
    }
    store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                          user ? CERT_SYSTEM_STORE_CURRENT_USER : CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (store == nullptr) {
        fwprintf(stderr, L"install_ca: cannot open the Root store (error %lu)\n", GetLastError());
        goto cleanup;
    }
    if (!CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der != nullptr ? der : contents,
                                          der != nullptr ? derSize : size, CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
        fwprintf(stderr, L"install_ca: cannot add the certificate (error %lu)\n", GetLastError());
        goto cleanup;
    }
    ok = true;

cleanup:
    if (store != nullptr) {
        CertCloseStore(store, 0);
    }
    if (der != nullptr) {
        HeapFree(GetProcessHeap(), 0, der);
    }
    if (contents != nullptr) {
        HeapFree(GetProcessHeap(), 0, contents);
    }
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    return ok ? 0 : 1;
}
