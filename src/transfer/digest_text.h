// SHA-256 digests as text: the lowercase hexadecimal rendering and the
// case-blind comparison with a published digest.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kSha256Bytes = 32;
constexpr size_t kSha256HexBytes = 65;  // 64 digits and the terminator

// Writes two lowercase hex digits per byte, most significant nibble first,
// and a terminator: output holds at least kSha256HexBytes.
void FormatSha256Hex(const uint8_t digest[kSha256Bytes], char* output);

// Byte-by-byte equality ignoring ASCII case only (bytes of 0x80 and above
// must match exactly), as _stricmp does in the C locale.
bool DigestTextsEqual(const char* first, const char* second);
