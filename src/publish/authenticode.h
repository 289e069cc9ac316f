// The bytes of a PE file an Authenticode signature covers, its signature
// and its signer, and digests streamed from an open file, so that a core of
// any size is checked in bounded memory.
#pragma once

#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "publish/sha256_hex.h"
#include "update/pe_version.h"

// Reads the headers of the PE file of size bytes open as file, mapped, with
// the launcher's reader. False with *problem set when it is no PE file or its
// certificate table is not where Windows expects it.
bool ReadAuthenticodeLayout(int file, uint64_t size, PeImageLayout* layout, const char** problem);

// The DER PKCS#7 signed data of the table's first certificate, which holds the
// primary signature. False with *problem set when there is none.
bool ReadSignatureBlob(int file, const PeImageLayout& layout, std::vector<unsigned char>* der,
                       const char** problem);

// The primary signature of the executable of size bytes open as file, as
// PKCS#7 signed data with content; nullptr with error saying why (starting
// with a verb) when there is none.
PKCS7* ReadPrimarySignature(int file, uint64_t size, PeImageLayout* layout, char* error, size_t capacity);

// The certificate of the first signer of signed data, found among the
// certificates it carries (not to be freed); nullptr when it carries none.
X509* SignerCertificate(PKCS7* pkcs7);

// The digest by md of the bytes the signature covers: all but the checksum,
// the table entry and the table. digest has room for EVP_MAX_MD_SIZE bytes.
bool AuthenticodeDigest(int file, const PeImageLayout& layout, const EVP_MD* md, unsigned char* digest,
                        unsigned int* length);

// SHA-256 of the first size bytes of file as 64 lowercase digits.
bool FileSha256Hex(int file, uint64_t size, char hex[kSha256HexBytes]);
