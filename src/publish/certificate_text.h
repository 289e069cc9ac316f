// Certificates and times as the tool's messages name them: one-line subject
// and issuer names, and dates in UTC.
#pragma once

#include <openssl/x509.h>

#include <cstddef>

void CertificateSubject(X509* certificate, char* text, size_t capacity);
void CertificateIssuer(X509* certificate, char* text, size_t capacity);

// time in strftime's format (UTC); empty when it cannot be read.
void FormatAsn1Time(const ASN1_TIME* time, const char* format, char* text, size_t capacity);
