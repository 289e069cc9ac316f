// Who signed a core: pins of code-signing certificates (the SHA-256 of the DER
// SubjectPublicKeyInfo) and the Authenticode signer of an executable. The
// signature itself is read and checked by osslsigncode, the pin by OpenSSL.
#pragma once

#include <cstddef>

constexpr size_t kPinBytes = 65;  // 64 hexadecimal digits and the terminator

// True when text is 64 hexadecimal digits, either case.
bool IsPinText(const char* text);

// Pin of the certificate in the file at path (PEM or DER), or of the leaf
// signer of the primary signature when the file is a Windows executable.
// On false, error says why.
bool FilePin(const char* path, char pin[kPinBytes], char* error, size_t capacity);

// True when the executable at path carries an Authenticode signature that
// osslsigncode verifies (digest and signature intact; the chain is checked
// against the certificates the signature carries and the system's roots) and
// whose leaf signer has one of the pins. On false, error says why, starting
// with a verb ("is not signed", "is signed by ...").
bool CheckCoreSigner(const char* path, const char* const* pins, size_t pinCount, char* error, size_t capacity);
