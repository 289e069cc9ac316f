// Pins of code-signing keys for --signer: the SHA-256 of a certificate's DER
// SubjectPublicKeyInfo, read from a certificate file or from the signer of a
// signed executable (the pin command).
#pragma once

#include <openssl/x509.h>

#include <cstddef>

#include "transfer/pin_list.h"

constexpr size_t kPinBytes = kSha256HexBytes;  // 64 hexadecimal digits and the terminator

// The SHA-256 of certificate's DER SubjectPublicKeyInfo: what a pin names.
bool CertificateKeyDigest(X509* certificate, uint8_t digest[kSha256Bytes]);

// The pin of certificate as 64 lowercase hexadecimal digits.
bool CertificatePin(X509* certificate, char pin[kPinBytes]);

// Pin of the certificate in the file at path (PEM or DER), of the certificate
// of a PKCS#12 key file opened with password (nullptr: none given), or of the
// leaf signer of the primary signature when the file is a Windows executable.
// On false, error says why.
bool FilePin(const char* path, const char* password, char pin[kPinBytes], char* error, size_t capacity);
