// Pins of certificates and of the signers of executables.
#include "publish/certificate_pin.h"

#include <sys/stat.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "publish/authenticode.h"

namespace {

bool ExecutableSignerPin(int file, uint64_t size, const char* path, char pin[kPinBytes], char* error,
                         size_t capacity)
{
    PeImageLayout layout;
    char reason[512];
    PKCS7* pkcs7 = ReadPrimarySignature(file, size, &layout, reason, sizeof(reason));
    if (pkcs7 == nullptr) {
        snprintf(error, capacity, "%s %s", path, reason);
        return false;
    }
    X509* signer = SignerCertificate(pkcs7);
    const bool ok = signer != nullptr && CertificatePin(signer, pin);
    if (!ok) {
        snprintf(error, capacity, "%s: the signature names no signer certificate", path);
    }
    PKCS7_free(pkcs7);
    return ok;
}

// The certificate of a PKCS#12 key file, opened with password (nullptr when
// none was given).
bool KeyFilePin(FILE* file, const char* path, const char* password, char pin[kPinBytes], char* error,
                size_t capacity)
{
    EVP_PKEY* key = nullptr;
    X509* certificate = nullptr;
    STACK_OF(X509)* others = nullptr;
    bool ok = false;
    PKCS12* bundle = d2i_PKCS12_fp(file, nullptr);
    if (bundle == nullptr) {
        snprintf(error, capacity, "%s is neither a certificate (PEM or DER), a PKCS#12 key file nor a Windows "
                 "executable", path);
        goto cleanup;
    }
    if (password == nullptr) {
        snprintf(error, capacity, "%s is a PKCS#12 key file: put its password into the environment variable "
                 "TOVRIN_PFX_PASSWORD, or take the certificate out of it and give that: openssl pkcs12 -in %s "
                 "-nokeys -clcerts -out codesign.pem", path, path);
        goto cleanup;
    }
    if (PKCS12_parse(bundle, password, &key, &certificate, &others) != 1 || certificate == nullptr) {
        snprintf(error, capacity, "%s: cannot open this PKCS#12 key file with the password in TOVRIN_PFX_PASSWORD, "
                 "or it holds no certificate for its key", path);
        goto cleanup;
    }
    ok = CertificatePin(certificate, pin);
    if (!ok) {
        snprintf(error, capacity, "%s: cannot read the public key of its certificate", path);
    }

cleanup:
    sk_X509_pop_free(others, X509_free);
    X509_free(certificate);
    EVP_PKEY_free(key);
    PKCS12_free(bundle);
    return ok;
}

bool CertificateFilePin(FILE* file, const char* path, const char* password, char pin[kPinBytes], char* error,
                        size_t capacity)
{
    X509* certificate = PEM_read_X509(file, nullptr, nullptr, nullptr);
    if (certificate == nullptr) {
        rewind(file);
        certificate = d2i_X509_fp(file, nullptr);
    }
    if (certificate == nullptr) {
        rewind(file);
        return KeyFilePin(file, path, password, pin, error, capacity);
    }
    const bool ok = CertificatePin(certificate, pin);
    if (!ok) {
        snprintf(error, capacity, "%s: cannot read the public key of its certificate", path);
    }
    X509_free(certificate);
    return ok;
}

}  // namespace

bool CertificateKeyDigest(X509* certificate, uint8_t digest[kSha256Bytes])
{
    unsigned char* der = nullptr;
    unsigned int digestSize = 0;
    const int length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(certificate), &der);
    const bool ok = length > 0 && EVP_Digest(der, static_cast<size_t>(length), digest, &digestSize, EVP_sha256(),
                                             nullptr) == 1 && digestSize == kSha256Bytes;
    OPENSSL_free(der);
    return ok;
}

bool CertificatePin(X509* certificate, char pin[kPinBytes])
{
    uint8_t digest[kSha256Bytes];
    pin[0] = '\0';
    if (!CertificateKeyDigest(certificate, digest)) {
        return false;
    }
    FormatSha256Hex(digest, pin);
    return true;
}

bool FilePin(const char* path, const char* password, char pin[kPinBytes], char* error, size_t capacity)
{
    char head[2] = {0, 0};
    struct stat status;
    bool ok = false;
    FILE* file = fopen(path, "rb");
    if (file == nullptr || fstat(fileno(file), &status) != 0) {
        snprintf(error, capacity, "cannot read %s: %s", path, strerror(errno));
        goto cleanup;
    }
    if (fread(head, 1, 2, file) == 2 && head[0] == 'M' && head[1] == 'Z') {
        ok = ExecutableSignerPin(fileno(file), static_cast<uint64_t>(status.st_size), path, pin, error, capacity);
    } else {
        rewind(file);
        ok = CertificateFilePin(file, path, password, pin, error, capacity);
    }

cleanup:
    if (file != nullptr) {
        fclose(file);
    }
    return ok;
}
