// Signer pins: which texts are pins, and looking a key's digest up among them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "transfer/signer_pin.h"

namespace {

// The digest 00 01 02 ... 1f and its pin.
const char kPin[] = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";

void SequenceDigest(uint8_t digest[kSha256Bytes])
{
    for (size_t i = 0; i < kSha256Bytes; ++i) {
        digest[i] = static_cast<uint8_t>(i);
    }
}

}  // namespace

TEST(SignerPin, ParsesExactlySixtyFourHexDigitsInEitherCase)
{
    const std::string pin = kPin;
    struct Case {
        std::string text;
        bool valid;
    } cases[] = {
        {pin, true},
        {"000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F", true},
        {"000102030405060708090a0B0c0D0e0F101112131415161718191a1B1c1D1e1F", true},
        {pin.substr(0, 63), false},
        {pin + "0", false},
        {pin.substr(0, 62), false},
        {"", false},
        {" " + pin.substr(1), false},
        {pin.substr(0, 63) + "g", false},
        {pin.substr(0, 31) + ":" + pin.substr(32), false},
        {"sha256:" + pin, false},
    };
    uint8_t expected[kSha256Bytes];
    SequenceDigest(expected);
    for (const Case& c : cases) {
        uint8_t parsed[kSha256Bytes] = {};
        ASSERT_EQ(ParseSignerPin(c.text.c_str(), parsed), c.valid) << c.text;
        if (c.valid) {
            EXPECT_EQ(memcmp(parsed, expected, kSha256Bytes), 0) << c.text;
        }
    }
}

TEST(SignerPin, ListedOnlyWhenOneWellFormedPinHasTheDigest)
{
    uint8_t digest[kSha256Bytes];
    SequenceDigest(digest);
    const char* other = "ff0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
    const char* uppercase = "000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F";
    const char* withTail = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f00";

    const char* const single[] = {kPin};
    const char* const rollover[] = {other, uppercase};
    const char* const foreign[] = {other};
    const char* const malformed[] = {withTail, ""};
    EXPECT_TRUE(SignerPinListed(digest, single, 1));
    EXPECT_TRUE(SignerPinListed(digest, rollover, 2));
    EXPECT_FALSE(SignerPinListed(digest, foreign, 1));
    EXPECT_FALSE(SignerPinListed(digest, malformed, 2));
    EXPECT_FALSE(SignerPinListed(digest, single, 0));
    // The last byte counts as much as the first.
    digest[kSha256Bytes - 1] ^= 1;
    EXPECT_FALSE(SignerPinListed(digest, single, 1));
}
