// Whether an Authenticode signature carries a time stamp that keeps it
// verifying on Windows after the signing certificate expires.
#pragma once

#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cstddef>

// True when the primary signer of signature carries an RFC 3161 time stamp
// that verifies, stamps this signature, lies within the validity of signer
// (the signer's certificate), and comes from a trusted authority: one whose
// certificate is for time stamping and chains, through the certificates the
// stamp carries or authorities, to one of systemRoots or authorities, as of
// the stamp's time. Anyone can add a stamp to a signature, so a stamp from
// any other authority proves nothing. text says when and by whom it was
// stamped, or why no stamp counts.
bool CheckTimestamp(PKCS7* signature, X509* signer, STACK_OF(X509)* systemRoots, STACK_OF(X509)* authorities,
                    char* text, size_t capacity);
