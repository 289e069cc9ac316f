// Parsing signer pins and looking a key's digest up among them.
#include "transfer/pin_list.h"

#include <cstring>

namespace {

int HexValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace

bool ParseSignerPin(const char* text, uint8_t pin[kSha256Bytes])
{
    for (size_t i = 0; i < kSha256Bytes; ++i) {
        // A terminator reads as a non-digit, so a short text stops here.
        const int high = HexValue(text[2 * i]);
        const int low = high < 0 ? -1 : HexValue(text[2 * i + 1]);
        if (low < 0) {
            return false;
        }
        pin[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return text[2 * kSha256Bytes] == '\0';
}

bool SignerPinListed(const uint8_t keyDigest[kSha256Bytes], const char* const* pins, size_t count)
{
    uint8_t pin[kSha256Bytes];
    for (size_t i = 0; i < count; ++i) {
        if (ParseSignerPin(pins[i], pin) && memcmp(pin, keyDigest, kSha256Bytes) == 0) {
            return true;
        }
    }
    return false;
}
