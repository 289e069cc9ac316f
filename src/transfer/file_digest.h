// SHA-256 of a file on disk through CNG, as lowercase hexadecimal text.
#pragma once

#include <windows.h>

#include <atomic>

#include "transfer/digest_text.h"

// A run of bytes in memory.
struct ByteRange {
    const uint8_t* bytes;
    uint64_t length;
};

// SHA-256 of the count ranges, one after another, into digest.
bool ComputeSha256(const ByteRange* ranges, size_t count, uint8_t digest[kSha256Bytes]);

// Streams the file in 64 KiB chunks. Returns true with 64 lowercase hex digits
// and a terminator in output (kSha256HexBytes); on false output is not written.
// A read that fails part-way is a failure, never the digest of a prefix.
bool ComputeFileSha256Hex(const wchar_t* path, char* output);

// The same for the file open as file (with read access), from its first byte.
// When stop is given and becomes non-zero, the digest ends early with false.
bool ComputeHandleSha256Hex(HANDLE file, char* output, const std::atomic<LONG>* stop = nullptr);
