// Pins of certificates and of the signers of executables.
#include "publish/core_signature.h"

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

extern char** environ;

namespace {

constexpr size_t kPathBytes = 4096;
// The roots Debian's ca-certificates package installs.
constexpr char kSystemRoots[] = "/etc/ssl/certs/ca-certificates.crt";

// Runs osslsigncode with arguments, its output discarded; true when it exits 0.
bool RunSigncode(const char* const* arguments)
{
    posix_spawn_file_actions_t actions;
    pid_t child = 0;
    int status = 0;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const int spawned =
        posix_spawnp(&child, "osslsigncode", &actions, nullptr, const_cast<char* const*>(arguments), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        return false;
    }
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool CertificatePin(X509* certificate, char pin[kPinBytes])
{
    unsigned char* der = nullptr;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestSize = 0;
    const int length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(certificate), &der);
    const bool ok = length > 0 && EVP_Digest(der, static_cast<size_t>(length), digest, &digestSize, EVP_sha256(),
                                             nullptr) == 1 && digestSize == 32;
    OPENSSL_free(der);
    pin[0] = '\0';
    for (unsigned int i = 0; ok && i < digestSize; ++i) {
        snprintf(pin + 2 * i, 3, "%02x", digest[i]);
    }
    return ok;
}

bool SamePin(const char* a, const char* b)
{
    return strlen(a) == kPinBytes - 1 && strncasecmp(a, b, kPinBytes - 1) == 0;
}

// The primary signature of the executable at path, extracted by osslsigncode
// into a scratch folder.
PKCS7* ReadSignature(const char* path, const char* scratch, char* error, size_t capacity)
{
    char signature[kPathBytes];
    snprintf(signature, sizeof(signature), "%s/signature.der", scratch);
    const char* arguments[] = {"osslsigncode", "extract-signature", "-in", path, "-out", signature, nullptr};
    if (!RunSigncode(arguments)) {
        snprintf(error, capacity, "is not Authenticode-signed (osslsigncode found no signature to extract)");
        return nullptr;
    }
    PKCS7* pkcs7 = nullptr;
    FILE* file = fopen(signature, "rb");
    if (file != nullptr) {
        pkcs7 = d2i_PKCS7_fp(file, nullptr);
        fclose(file);
    }
    unlink(signature);
    if (pkcs7 == nullptr || !PKCS7_type_is_signed(pkcs7)) {
        snprintf(error, capacity, "has a signature that is not PKCS#7 signed data");
        PKCS7_free(pkcs7);
        return nullptr;
    }
    return pkcs7;
}

// The leaf signer's certificate of the signature (not to be freed).
X509* SignerCertificate(PKCS7* pkcs7)
{
    STACK_OF(X509)* signers = PKCS7_get0_signers(pkcs7, nullptr, 0);
    X509* signer = signers != nullptr && sk_X509_num(signers) > 0 ? sk_X509_value(signers, 0) : nullptr;
    sk_X509_free(signers);
    return signer;
}

// Trust for osslsigncode's chain check: the certificates the signature carries
// and the system's roots. Windows checks the chain to a root it trusts; here
// only the signature's integrity and the signer's pin matter.
bool WriteAnchors(PKCS7* pkcs7, const char* anchors)
{
    STACK_OF(X509)* carried = pkcs7->d.sign->cert;
    bool ok = false;
    FILE* roots = nullptr;
    FILE* file = fopen(anchors, "w");
    if (file == nullptr) {
        return false;
    }
    for (int i = 0; carried != nullptr && i < sk_X509_num(carried); ++i) {
        if (PEM_write_X509(file, sk_X509_value(carried, i)) != 1) {
            goto cleanup;
        }
    }
    roots = fopen(kSystemRoots, "r");
    if (roots != nullptr) {
        char buffer[8192];
        size_t got = 0;
        while ((got = fread(buffer, 1, sizeof(buffer), roots)) > 0) {
            fwrite(buffer, 1, got, file);
        }
        fclose(roots);
    }
    ok = true;

cleanup:
    if (fclose(file) != 0) {
        ok = false;
    }
    return ok;
}

bool MakeScratch(char* scratch, char* error, size_t capacity)
{
    const char* temp = getenv("TMPDIR");
    snprintf(scratch, kPathBytes, "%s/tovrin-publish.XXXXXX", temp != nullptr && temp[0] != '\0' ? temp : "/tmp");
    if (mkdtemp(scratch) == nullptr) {
        snprintf(error, capacity, "cannot create a scratch folder: %s", strerror(errno));
        return false;
    }
    return true;
}

bool ExecutableSignerPin(const char* path, char pin[kPinBytes], char* error, size_t capacity)
{
    char scratch[kPathBytes];
    char reason[512];
    X509* signer = nullptr;
    PKCS7* pkcs7 = nullptr;
    bool ok = false;
    if (!MakeScratch(scratch, error, capacity)) {
        return false;
    }
    pkcs7 = ReadSignature(path, scratch, reason, sizeof(reason));
    if (pkcs7 == nullptr) {
        snprintf(error, capacity, "%s %s", path, reason);
        goto cleanup;
    }
    signer = SignerCertificate(pkcs7);
    if (signer == nullptr || !CertificatePin(signer, pin)) {
        snprintf(error, capacity, "%s: the signature names no signer certificate", path);
        goto cleanup;
    }
    ok = true;

cleanup:
    PKCS7_free(pkcs7);
    rmdir(scratch);
    return ok;
}

bool CertificateFilePin(const char* path, char pin[kPinBytes], char* error, size_t capacity)
{
    X509* certificate = nullptr;
    bool ok = false;
    FILE* file = fopen(path, "rb");
    if (file == nullptr) {
        snprintf(error, capacity, "cannot read %s: %s", path, strerror(errno));
        return false;
    }
    certificate = PEM_read_X509(file, nullptr, nullptr, nullptr);
    if (certificate == nullptr) {
        rewind(file);
        certificate = d2i_X509_fp(file, nullptr);
    }
    if (certificate == nullptr || !CertificatePin(certificate, pin)) {
        snprintf(error, capacity, "%s is neither a certificate (PEM or DER) nor a Windows executable", path);
        goto cleanup;
    }
    ok = true;

cleanup:
    X509_free(certificate);
    fclose(file);
    return ok;
}

}  // namespace

bool IsPinText(const char* text)
{
    size_t length = 0;
    for (; text[length] != '\0'; ++length) {
        if (!isxdigit(static_cast<unsigned char>(text[length]))) {
            return false;
        }
    }
    return length == kPinBytes - 1;
}

bool FilePin(const char* path, char pin[kPinBytes], char* error, size_t capacity)
{
    char head[2] = {0, 0};
    FILE* file = fopen(path, "rb");
    if (file == nullptr) {
        snprintf(error, capacity, "cannot read %s: %s", path, strerror(errno));
        return false;
    }
    const bool executable = fread(head, 1, 2, file) == 2 && head[0] == 'M' && head[1] == 'Z';
    fclose(file);
    return executable ? ExecutableSignerPin(path, pin, error, capacity)
                      : CertificateFilePin(path, pin, error, capacity);
}

bool CheckCoreSigner(const char* path, const char* const* pins, size_t pinCount, char* error, size_t capacity)
{
    char scratch[kPathBytes];
    char anchors[kPathBytes];
    char pin[kPinBytes] = "";
    char subject[256] = "";
    bool pinned = false;
    bool ok = false;
    PKCS7* pkcs7 = nullptr;
    X509* signer = nullptr;
    if (!MakeScratch(scratch, error, capacity)) {
        return false;
    }
    snprintf(anchors, sizeof(anchors), "%s/anchors.pem", scratch);
    pkcs7 = ReadSignature(path, scratch, error, capacity);
    if (pkcs7 == nullptr) {
        goto cleanup;
    }
    signer = SignerCertificate(pkcs7);
    if (signer == nullptr || !CertificatePin(signer, pin)) {
        snprintf(error, capacity, "has a signature that names no signer certificate");
        goto cleanup;
    }
    X509_NAME_oneline(X509_get_subject_name(signer), subject, sizeof(subject));
    for (size_t i = 0; i < pinCount; ++i) {
        pinned = pinned || SamePin(pins[i], pin);
    }
    if (!pinned) {
        snprintf(error, capacity, "is signed by %s (pin %s), which is none of the signers given", subject, pin);
        goto cleanup;
    }
    if (!WriteAnchors(pkcs7, anchors)) {
        snprintf(error, capacity, "cannot write %s: %s", anchors, strerror(errno));
        goto cleanup;
    }
    {
        // -ignore-cdp: no network for revocation, like the launcher's check.
        const char* arguments[] = {"osslsigncode", "verify", "-in", path, "-CAfile", anchors, "-ignore-cdp", nullptr};
        if (!RunSigncode(arguments)) {
            snprintf(error, capacity,
                     "is signed by %s, but its signature does not verify (changed after signing, or a chain "
                     "osslsigncode cannot follow)",
                     subject);
            goto cleanup;
        }
    }
    ok = true;

cleanup:
    PKCS7_free(pkcs7);
    unlink(anchors);
    rmdir(scratch);
    return ok;
}
