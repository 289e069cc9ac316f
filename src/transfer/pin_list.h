// Pins of code-signing keys: the SHA-256 of a certificate's DER
// SubjectPublicKeyInfo, written as 64 hexadecimal digits in either case.
#pragma once

#include <cstddef>
#include <cstdint>

#include "transfer/digest_text.h"

// Reads exactly 64 hex digits (either case) into pin; false for any other text,
// pin then unspecified.
bool ParseSignerPin(const char* text, uint8_t pin[kSha256Bytes]);

// Whether keyDigest equals one of the count pins. A malformed pin matches nothing.
bool SignerPinListed(const uint8_t keyDigest[kSha256Bytes], const char* const* pins, size_t count);
