// Pins of code-signing keys for --signer: the SHA-256 of a certificate's DER
// SubjectPublicKeyInfo, read from a certificate file or from the signer of a
// signed executable (the pin command).
#pragma once

#include <openssl/x509.h>

#include <cstddef>

constexpr size_t kPinBytes = 65;  // 64 hexadecimal digits and the terminator

// True when text is 64 hexadecimal digits, either case.
bool IsPinText(const char* text);

// The pin of certificate as 64 lowercase hexadecimal digits.
bool CertificatePin(X509* certificate, char pin[kPinBytes]);

// Pin of the certificate in the file at path (PEM or DER), or of the leaf
// signer of the primary signature when the file is a Windows executable.
// On false, error says why.
bool FilePin(const char* path, char pin[kPinBytes], char* error, size_t capacity);
