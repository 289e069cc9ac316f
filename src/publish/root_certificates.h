// The roots a certificate chain may end at: those Debian's ca-certificates
// package installs, and PEM files an operator names (--ca-file, --tsa-ca-file).
#pragma once

#include <openssl/x509.h>

#include <cstddef>

// Appends the certificates of the PEM file at path to certificates. False,
// with error saying why, when it cannot be read, holds no certificate or a
// damaged one.
bool ReadPemCertificates(const char* path, STACK_OF(X509)* certificates, char* error, size_t capacity);

// This machine's roots; empty when it has none (nullptr only without memory).
STACK_OF(X509)* ReadSystemRoots();

// True when certificate issued itself: its issuer is its subject and its own
// key verifies its signature.
bool IsSelfSigned(X509* certificate);
