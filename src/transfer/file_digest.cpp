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

// A SHA-256 hash in progress, its object from the process heap.
struct Sha256 {
    BCRYPT_ALG_HANDLE provider;
    BCRYPT_HASH_HANDLE hash;
    PUCHAR object;
};

void CloseSha256(Sha256* state)
{
    if (state->hash != nullptr) {
        BCryptDestroyHash(state->hash);
    }
    if (state->object != nullptr) {
        HeapFree(GetProcessHeap(), 0, state->object);
    }
    if (state->provider != nullptr) {
        BCryptCloseAlgorithmProvider(state->provider, 0);
    }
}

// False with nothing to close when the hash cannot be started.
bool OpenSha256(Sha256* state)
{
    DWORD objectLength = 0;
    ULONG propertyBytes = 0;
    *state = Sha256{};
    if (Succeeded(BCryptOpenAlgorithmProvider(&state->provider, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) &&
        Succeeded(BCryptGetProperty(state->provider, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&objectLength),
                                    sizeof(objectLength), &propertyBytes, 0)) &&
        (state->object = static_cast<PUCHAR>(HeapAlloc(GetProcessHeap(), 0, objectLength))) != nullptr &&
        Succeeded(BCryptCreateHash(state->provider, &state->hash, state->object, objectLength, nullptr, 0, 0))) {
        return true;
    }
    CloseSha256(state);
    return false;
}

}  // namespace

bool ComputeSha256(const ByteRange* ranges, size_t count, uint8_t digest[kSha256Bytes])
{
    Sha256 state;
    bool ok = OpenSha256(&state);
    for (size_t i = 0; ok && i < count; ++i) {
        // CNG takes at most 4 GiB a call.
        for (uint64_t done = 0; ok && done < ranges[i].length;) {
            const uint64_t left = ranges[i].length - done;
            const ULONG part = left < 0x40000000u ? static_cast<ULONG>(left) : 0x40000000u;
            ok = Succeeded(BCryptHashData(state.hash, const_cast<PUCHAR>(ranges[i].bytes + done), part, 0));
            done += part;
        }
    }
    ok = ok && Succeeded(BCryptFinishHash(state.hash, digest, kSha256Bytes, 0));
    CloseSha256(&state);
    return ok;
}

bool ComputeHandleSha256Hex(HANDLE file, char* output, const std::atomic<LONG>* stop)
{
    Sha256 state;
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
    if (!OpenSha256(&state)) {
        return false;
    }
    for (;;) {
        if (stop != nullptr && stop->load() != 0) {
            goto cleanup;
        }
        if (!ReadFile(file, chunk, kReadChunkBytes, &bytesRead, nullptr)) {
            // A digest over the bytes before a read error would be reported as
            // the file's digest; no digest at all is the honest answer.
            goto cleanup;
        }
        if (bytesRead == 0) {
            break;
        }
        if (!Succeeded(BCryptHashData(state.hash, chunk, bytesRead, 0))) {
            goto cleanup;
        }
    }
    if (!Succeeded(BCryptFinishHash(state.hash, digest, sizeof(digest), 0))) {
        goto cleanup;
    }
    FormatSha256Hex(digest, output);
    ok = true;

cleanup:
    CloseSha256(&state);
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
