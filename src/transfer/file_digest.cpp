// File digest with CNG: provider, hash object from the process heap sized by
// the provider's ObjectLength, 64 KiB reads, then the digest rendered as hex.
#include "transfer/file_digest.h"

#include <windows.h>
#include <bcrypt.h>

namespace {

constexpr DWORD kReadChunkBytes = 65536;

bool Succeeded(NTSTATUS status)
{
    return status >= 0;
}

}  // namespace

bool ComputeHandleSha256Hex(HANDLE file, char* output)
{
    BCRYPT_ALG_HANDLE provider = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    PUCHAR hashObject = nullptr;
    DWORD objectLength = 0;
    ULONG propertyBytes = 0;
    DWORD bytesRead = 0;
    UCHAR digest[kSha256Bytes];
    UCHAR chunk[kReadChunkBytes];
    bool ok = false;

    LARGE_INTEGER start = {};
    // The whole file, wherever earlier reads or writes through the same handle
    // left its position; a pipe has no position and is read as it comes.
    if (GetFileType(file) == FILE_TYPE_DISK && !SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) {
        return false;
    }
    if (!Succeeded(BCryptOpenAlgorithmProvider(&provider, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
        goto cleanup;
    }
    if (!Succeeded(BCryptGetProperty(provider, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&objectLength),
                                     sizeof(objectLength), &propertyBytes, 0))) {
        goto cleanup;
    }
    hashObject = static_cast<PUCHAR>(HeapAlloc(GetProcessHeap(), 0, objectLength));
    if (hashObject == nullptr) {
        goto cleanup;
    }
    if (!Succeeded(BCryptCreateHash(provider, &hash, hashObject, objectLength, nullptr, 0, 0))) {
        goto cleanup;
    }
    for (;;) {
        if (!ReadFile(file, chunk, kReadChunkBytes, &bytesRead, nullptr)) {
            // A digest over the bytes before a read error would be reported as
            // the file's digest; no digest at all is the honest answer.
            goto cleanup;
        }
        if (bytesRead == 0) {
            break;
        }
        if (!Succeeded(BCryptHashData(hash, chunk, bytesRead, 0))) {
            goto cleanup;
        }
    }
    if (!Succeeded(BCryptFinishHash(hash, digest, sizeof(digest), 0))) {
        goto cleanup;
    }
    FormatSha256Hex(digest, output);
    ok = true;

cleanup:
    if (hash != nullptr) {
        BCryptDestroyHash(hash);
    }
    if (hashObject != nullptr) {
        HeapFree(GetProcessHeap(), 0, hashObject);
    }
    if (provider != nullptr) {
        BCryptCloseAlgorithmProvider(provider, 0);
    }
    return ok;
}

bool ComputeFileSha256Hex(const wchar_t* path, char* output)
{
    HANDLE file =
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool ok = ComputeHandleSha256Hex(file, output);
    CloseHandle(file);
    return ok;
}
