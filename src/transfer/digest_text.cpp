// Digest text formatting and comparison.
#include "transfer/digest_text.h"

namespace {

char AsciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

void FormatSha256Hex(const uint8_t digest[kSha256Bytes], char* output)
{
    static const char kDigits[] = "0123456789abcdef";
    for (size_t i = 0; i < kSha256Bytes; ++i) {
        output[2 * i] = kDigits[digest[i] >> 4];
        output[2 * i + 1] = kDigits[digest[i] & 0x0F];
    }
    output[2 * kSha256Bytes] = '\0';
}

bool DigestTextsEqual(const char* first, const char* second)
{
    for (;; ++first, ++second) {
        if (AsciiLower(*first) != AsciiLower(*second)) {
            return false;
        }
        if (*first == '\0') {
            return true;
        }
    }
}
