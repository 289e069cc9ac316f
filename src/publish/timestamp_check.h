// Whether an Authenticode signature carries a time stamp that keeps it
// verifying on Windows after the signing certificate expires.
#pragma once

#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cstddef>

// True when the primary signer of signature carries an RFC 3161 time stamp
// that verifies, stamps this signature and lies within the validity of
// signer (the signer's certificate). text says when and by whom it was
// stamped, or why no stamp counts.
bool CheckTimestamp(PKCS7* signature, X509* signer, char* text, size_t capacity);
