// Authenticode layout, signature and streamed digests of a PE file.
#include "publish/authenticode.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t kChunkBytes = 1 << 20;
// Far above any real signature; keeps a damaged table from filling memory.
constexpr uint32_t kSignatureLimit = 16u << 20;
constexpr uint16_t kCertificateRevision = 0x0200;
constexpr uint16_t kPkcsSignedData = 0x0002;

const char kNoSignature[] = "is not Authenticode-signed (it has no certificate table)";
const char kDamagedTable[] = "has a damaged certificate table";

bool ReadAt(int file, uint64_t offset, void* buffer, size_t length)
{
    unsigned char* bytes = static_cast<unsigned char*>(buffer);
    size_t done = 0;
    while (done < length) {
        const ssize_t got = pread(file, bytes + done, length - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        done += static_cast<size_t>(got);
    }
    return true;
}

uint32_t Le(const unsigned char* bytes, int count)
{
    uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i) {
        value = value << 8 | bytes[i];
    }
    return value;
}

bool DigestRange(int file, EVP_MD_CTX* context, uint64_t from, uint64_t to, std::vector<unsigned char>* buffer)
{
    while (from < to) {
        const size_t length = to - from < buffer->size() ? static_cast<size_t>(to - from) : buffer->size();
        if (!ReadAt(file, from, buffer->data(), length) || EVP_DigestUpdate(context, buffer->data(), length) != 1) {
            return false;
        }
        from += length;
    }
    return true;
}

// Digests the ranges [from[i], to[i]) of file in order.
bool DigestRanges(int file, const EVP_MD* md, const uint64_t* from, const uint64_t* to, int count,
                  unsigned char* digest, unsigned int* length)
{
    std::vector<unsigned char> buffer(kChunkBytes);
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    bool ok = context != nullptr && EVP_DigestInit_ex(context, md, nullptr) == 1;
    for (int i = 0; ok && i < count; ++i) {
        ok = DigestRange(file, context, from[i], to[i], &buffer);
    }
    ok = ok && EVP_DigestFinal_ex(context, digest, length) == 1;
    EVP_MD_CTX_free(context);
    return ok;
}

}  // namespace

bool ReadAuthenticodeLayout(int file, uint64_t size, PeImageLayout* layout, const char** problem)
{
    // A file that cannot be mapped reads as an empty one: no PE image.
    void* mapping = nullptr;
    if (size > 0 && size <= SIZE_MAX) {
        mapping = mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_PRIVATE, file, 0);
        mapping = mapping == MAP_FAILED ? nullptr : mapping;
    }
    const size_t mapped = mapping != nullptr ? static_cast<size_t>(size) : 0;
    const bool ok = ReadPeImageLayout(static_cast<const unsigned char*>(mapping), mapped, layout, problem);
    if (mapping != nullptr) {
        munmap(mapping, mapped);
    }
    return ok;
}

bool ReadSignatureBlob(int file, const PeImageLayout& layout, std::vector<unsigned char>* der,
                       const char** problem)
{
    unsigned char header[8];
    *problem = kNoSignature;
    if (layout.table == 0 || layout.tableSize == 0) {
        return false;
    }
    *problem = kDamagedTable;
    if (layout.tableSize < sizeof(header) || !ReadAt(file, layout.table, header, sizeof(header))) {
        return false;
    }
    const uint32_t length = Le(header, 4);
    if (length <= sizeof(header) || length > layout.tableSize || length > kSignatureLimit ||
        Le(header + 4, 2) != kCertificateRevision || Le(header + 6, 2) != kPkcsSignedData) {
        return false;
    }
    der->resize(length - sizeof(header));
    if (!ReadAt(file, layout.table + sizeof(header), der->data(), der->size())) {
        return false;
    }
    *problem = nullptr;
    return true;
}

PKCS7* ReadPrimarySignature(int file, uint64_t size, PeImageLayout* layout, char* error, size_t capacity)
{
    std::vector<unsigned char> der;
    const char* problem = nullptr;
    if (!ReadAuthenticodeLayout(file, size, layout, &problem) || !ReadSignatureBlob(file, *layout, &der, &problem)) {
        snprintf(error, capacity, "%s", problem);
        return nullptr;
    }
    const unsigned char* cursor = der.data();
    PKCS7* pkcs7 = d2i_PKCS7(nullptr, &cursor, static_cast<long>(der.size()));
    if (pkcs7 == nullptr || !PKCS7_type_is_signed(pkcs7) || pkcs7->d.sign->contents == nullptr) {
        snprintf(error, capacity, "has a signature that is not PKCS#7 signed data");
        PKCS7_free(pkcs7);
        return nullptr;
    }
    return pkcs7;
}

X509* SignerCertificate(PKCS7* pkcs7)
{
    STACK_OF(X509)* signers = PKCS7_get0_signers(pkcs7, nullptr, 0);
    X509* signer = signers != nullptr && sk_X509_num(signers) > 0 ? sk_X509_value(signers, 0) : nullptr;
    sk_X509_free(signers);
    return signer;
}

bool AuthenticodeDigest(int file, const PeImageLayout& layout, const EVP_MD* md, unsigned char* digest,
                        unsigned int* length)
{
    const uint64_t from[] = {0, layout.checksum + 4, layout.certificateEntry + 8};
    const uint64_t to[] = {layout.checksum, layout.certificateEntry, layout.signedEnd};
    return DigestRanges(file, md, from, to, 3, digest, length);
}

bool FileSha256Hex(int file, uint64_t size, char hex[kSha256HexBytes])
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    const uint64_t from = 0;
    hex[0] = '\0';
    if (!DigestRanges(file, EVP_sha256(), &from, &size, 1, digest, &length) || length != 32) {
        return false;
    }
    FormatSha256Hex(digest, hex);
    return true;
}
