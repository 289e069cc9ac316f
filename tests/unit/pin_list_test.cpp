// Signer pins: which texts are pins, and looking a key's digest up among them.
#include <gtest/gtest.h>

#include <string>

#include "transfer/pin_list.h"

TEST(SignerPin, OnlySixtyFourHexDigitsOfTheDigestInEitherCaseMatch)
{
    // The digest 00 01 02 ... 1f and its pin.
    uint8_t digest[kSha256Bytes];
    for (size_t i = 0; i < kSha256Bytes; ++i) {
        digest[i] = static_cast<uint8_t>(i);
    }
    const std::string pin = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
    struct Case {
        std::string text;
        bool matches;
    } cases[] = {
        {pin, true},
        {"000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F", true},
        {"000102030405060708090a0B0c0D0e0F101112131415161718191a1B1c1D1e1F", true},
        {"ff" + pin.substr(2), false},
        {pin.substr(0, 62) + "1e", false},  // the last byte counts as much as the first
        {pin.substr(0, 63), false},
        {pin + "0", false},
        {"", false},
        {" " + pin.substr(1), false},
        {pin.substr(0, 63) + "g", false},
        {"sha256:" + pin, false},
    };
    for (const Case& c : cases) {
        const char* one[] = {c.text.c_str()};
        EXPECT_EQ(SignerPinListed(digest, one, 1), c.matches) << c.text;
        // With a foreign pin first, as during a key rollover.
        const char* two[] = {"ff01020304050607", c.text.c_str()};
        EXPECT_EQ(SignerPinListed(digest, two, 2), c.matches) << c.text;
    }
    const char* none[] = {pin.c_str()};
    EXPECT_FALSE(SignerPinListed(digest, none, 0));
}
