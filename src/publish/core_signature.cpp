// Pins of certificates and of the signers of executables.
#include "publish/core_signature.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "publish/authenticode.h"

namespace {

// The roots Debian's ca-certificates package installs.
constexpr char kSystemRoots[] = "/etc/ssl/certs/ca-certificates.crt";
constexpr char kIndirectDataOid[] = "1.3.6.1.4.1.311.2.1.4";  // SPC_INDIRECT_DATA_OBJID
constexpr char kRfc3161Oid[] = "1.3.6.1.4.1.311.3.3.1";       // szOID_RFC3161_counterSign
// Longer chains than this are no code-signing chain (and end any loop).
constexpr int kMaxChain = 8;

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

void Subject(X509* certificate, char* text, size_t capacity)
{
    X509_NAME_oneline(X509_get_subject_name(certificate), text, static_cast<int>(capacity));
}

// The primary signature of the executable open as file, as PKCS#7 signed data.
PKCS7* ReadSignature(int file, uint64_t size, AuthenticodeLayout* layout, char* error, size_t capacity)
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

// The leaf signer's certificate of the signature (not to be freed).
X509* SignerCertificate(PKCS7* pkcs7)
{
    STACK_OF(X509)* signers = PKCS7_get0_signers(pkcs7, nullptr, 0);
    X509* signer = signers != nullptr && sk_X509_num(signers) > 0 ? sk_X509_value(signers, 0) : nullptr;
    sk_X509_free(signers);
    return signer;
}

// The SpcIndirectDataContent the signer signed: its DER value without the
// outer SEQUENCE header (the bytes the signature's digest covers), and the
// digest of the file it states.
bool ReadIndirectData(PKCS7* pkcs7, const unsigned char** content, long* contentLength, X509_SIG** digestInfo)
{
    PKCS7* contents = pkcs7->d.sign->contents;
    char oid[64] = "";
    OBJ_obj2txt(oid, sizeof(oid), contents->type, 1);
    if (strcmp(oid, kIndirectDataOid) != 0 || contents->d.other == nullptr ||
        contents->d.other->type != V_ASN1_SEQUENCE) {
        return false;
    }
    const ASN1_STRING* sequence = contents->d.other->value.sequence;
    const unsigned char* cursor = sequence->data;
    long length = 0;
    int tag = 0;
    int objectClass = 0;
    if (ASN1_get_object(&cursor, &length, &tag, &objectClass, sequence->length) & 0x80) {
        return false;
    }
    *content = cursor;
    *contentLength = length;
    // Skip the first member (SpcAttributeTypeAndOptionalValue); the second is a DigestInfo.
    const unsigned char* member = cursor;
    long memberLength = 0;
    if (ASN1_get_object(&member, &memberLength, &tag, &objectClass, length) & 0x80) {
        return false;
    }
    member += memberLength;
    *digestInfo = d2i_X509_SIG(nullptr, &member, length - (member - cursor));
    return *digestInfo != nullptr;
}

// The file's digest equals the one signed, and the signer's signature over the
// signed content verifies; the chain is judged separately.
bool SignatureIntact(int file, const AuthenticodeLayout& layout, PKCS7* pkcs7, const char** problem)
{
    const unsigned char* content = nullptr;
    long contentLength = 0;
    X509_SIG* digestInfo = nullptr;
    const X509_ALGOR* algorithm = nullptr;
    const ASN1_OCTET_STRING* signedDigest = nullptr;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    X509_STORE* none = X509_STORE_new();
    BIO* data = nullptr;
    bool ok = false;
    *problem = "it holds no Authenticode digest of the file";
    if (!ReadIndirectData(pkcs7, &content, &contentLength, &digestInfo)) {
        goto cleanup;
    }
    X509_SIG_get0(digestInfo, &algorithm, &signedDigest);
    {
        const EVP_MD* md = EVP_get_digestbyobj(algorithm->algorithm);
        *problem = "it names a digest algorithm OpenSSL does not know";
        if (md == nullptr) {
            goto cleanup;
        }
        *problem = "the file cannot be read";
        if (!AuthenticodeDigest(file, layout, md, digest, &digestLength)) {
            goto cleanup;
        }
    }
    *problem = "the file was changed after it was signed (its digest is not the one signed)";
    if (static_cast<int>(digestLength) != ASN1_STRING_length(signedDigest) ||
        memcmp(digest, ASN1_STRING_get0_data(signedDigest), digestLength) != 0) {
        goto cleanup;
    }
    *problem = "the signer's signature over the file's digest is damaged";
    data = BIO_new_mem_buf(content, static_cast<int>(contentLength));
    ok = none != nullptr && data != nullptr &&
         PKCS7_verify(pkcs7, nullptr, none, data, nullptr, PKCS7_NOVERIFY | PKCS7_BINARY) == 1;

cleanup:
    BIO_free(data);
    X509_STORE_free(none);
    X509_SIG_free(digestInfo);
    return ok;
}

// The certificate among candidates that issued certificate: its name and key
// identifier match and its key verifies the certificate's signature.
X509* FindIssuer(X509* certificate, STACK_OF(X509)* candidates)
{
    for (int i = 0; candidates != nullptr && i < sk_X509_num(candidates); ++i) {
        X509* candidate = sk_X509_value(candidates, i);
        if (X509_check_issued(candidate, certificate) == X509_V_OK &&
            X509_verify(certificate, X509_get0_pubkey(candidate)) == 1) {
            return candidate;
        }
    }
    return nullptr;
}

STACK_OF(X509)* ReadSystemRoots()
{
    STACK_OF(X509)* roots = sk_X509_new_null();
    FILE* file = fopen(kSystemRoots, "r");
    if (file == nullptr) {
        return roots;
    }
    for (X509* root = PEM_read_X509(file, nullptr, nullptr, nullptr); root != nullptr;
         root = PEM_read_X509(file, nullptr, nullptr, nullptr)) {
        if (roots == nullptr || sk_X509_push(roots, root) == 0) {
            X509_free(root);
        }
    }
    fclose(file);
    return roots;
}

// Follows the chain from the signer through the certificates the signature
// carries. A signer whose issuer is neither carried nor a root here is
// refused: code-signing certificates are issued by intermediate CAs, which
// the launcher, checking offline, could not fetch. Where the chain ends is
// reported in facts->chain.
bool ChainCarried(PKCS7* pkcs7, X509* signer, SignerFacts* facts, char* error, size_t capacity)
{
    char top[256];
    char issuer[256];
    X509* current = signer;
    for (int depth = 0; depth < kMaxChain; ++depth) {
        X509* next = FindIssuer(current, pkcs7->d.sign->cert);
        if (next == nullptr || next == current) {
            break;
        }
        current = next;
    }
    STACK_OF(X509)* roots = ReadSystemRoots();
    const bool rootHere = FindIssuer(current, roots) != nullptr;
    sk_X509_pop_free(roots, X509_free);
    const bool selfSigned =
        X509_check_issued(current, current) == X509_V_OK && X509_verify(current, X509_get0_pubkey(current)) == 1;
    Subject(current, top, sizeof(top));
    X509_NAME_oneline(X509_get_issuer_name(current), issuer, sizeof(issuer));
    if (current == signer && !selfSigned && !rootHere) {
        snprintf(error, capacity,
                 "is signed by %s, but its signature does not carry every certificate between the signer's "
                 "certificate and its root: %s, which issued it, is missing, and the launcher checks offline, so "
                 "Windows cannot fetch it",
                 facts->subject, issuer);
        return false;
    }
    if (rootHere) {
        snprintf(facts->chain, sizeof(facts->chain), "its chain reaches %s, a root this machine has",
                 selfSigned ? top : issuer);
    } else if (selfSigned) {
        snprintf(facts->chain, sizeof(facts->chain), "its chain ends at %s, a root this machine does not have",
                 top);
    } else {
        snprintf(facts->chain, sizeof(facts->chain),
                 "its chain ends at %s, issued by %s, a root this machine does not have", top, issuer);
    }
    return true;
}

void FormatTime(const ASN1_TIME* time, const char* format, char* text, size_t capacity)
{
    struct tm parts;
    memset(&parts, 0, sizeof(parts));
    text[0] = '\0';
    if (ASN1_TIME_to_tm(time, &parts) == 1) {
        strftime(text, capacity, format, &parts);
    }
}

// The RFC 3161 token in the signer's unsigned attributes, or nullptr.
PKCS7* TimestampToken(PKCS7_SIGNER_INFO* signerInfo)
{
    char oid[64];
    for (int i = 0; i < sk_X509_ATTRIBUTE_num(signerInfo->unauth_attr); ++i) {
        X509_ATTRIBUTE* attribute = sk_X509_ATTRIBUTE_value(signerInfo->unauth_attr, i);
        OBJ_obj2txt(oid, sizeof(oid), X509_ATTRIBUTE_get0_object(attribute), 1);
        ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(attribute, 0);
        if (strcmp(oid, kRfc3161Oid) == 0 && value != nullptr && value->type == V_ASN1_SEQUENCE) {
            const unsigned char* cursor = value->value.sequence->data;
            return d2i_PKCS7(nullptr, &cursor, value->value.sequence->length);
        }
    }
    return nullptr;
}

// A time stamp counts when its signature verifies, it stamps this signature
// (its imprint is the digest of the signer's signature value), and it lies
// within the signer's certificate's validity.
void CheckTimestamp(PKCS7* pkcs7, X509* signer, SignerFacts* facts)
{
    PKCS7_SIGNER_INFO* signerInfo = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(pkcs7), 0);
    PKCS7* token = TimestampToken(signerInfo);
    TS_TST_INFO* info = nullptr;
    X509_STORE* none = X509_STORE_new();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    char when[64];
    char authority[256] = "?";
    facts->timestamped = false;
    snprintf(facts->timestamp, sizeof(facts->timestamp), "it has no RFC 3161 time stamp");
    if (PKCS7_get_attribute(signerInfo, NID_pkcs9_countersignature) != nullptr) {
        snprintf(facts->timestamp, sizeof(facts->timestamp),
                 "it has only a legacy Authenticode time stamp, which this tool does not check; use an RFC 3161 one");
    }
    if (token == nullptr) {
        goto cleanup;
    }
    snprintf(facts->timestamp, sizeof(facts->timestamp), "its time stamp does not verify");
    info = PKCS7_to_TS_TST_INFO(token);
    if (info == nullptr || none == nullptr ||
        PKCS7_verify(token, nullptr, none, nullptr, nullptr, PKCS7_NOVERIFY) != 1) {
        goto cleanup;
    }
    {
        TS_MSG_IMPRINT* imprint = TS_TST_INFO_get_msg_imprint(info);
        const EVP_MD* md = EVP_get_digestbyobj(TS_MSG_IMPRINT_get_algo(imprint)->algorithm);
        const ASN1_OCTET_STRING* stamped = TS_MSG_IMPRINT_get_msg(imprint);
        if (md == nullptr ||
            EVP_Digest(ASN1_STRING_get0_data(signerInfo->enc_digest), ASN1_STRING_length(signerInfo->enc_digest),
                       digest, &digestLength, md, nullptr) != 1 ||
            static_cast<int>(digestLength) != ASN1_STRING_length(stamped) ||
            memcmp(digest, ASN1_STRING_get0_data(stamped), digestLength) != 0) {
            snprintf(facts->timestamp, sizeof(facts->timestamp), "its time stamp is for another signature");
            goto cleanup;
        }
    }
    {
        const ASN1_GENERALIZEDTIME* time = TS_TST_INFO_get_time(info);
        X509* stamper = SignerCertificate(token);
        FormatTime(time, "%Y-%m-%d %H:%M:%S UTC", when, sizeof(when));
        if (stamper != nullptr) {
            Subject(stamper, authority, sizeof(authority));
        }
        if (ASN1_TIME_compare(time, X509_get0_notBefore(signer)) < 0 ||
            ASN1_TIME_compare(time, X509_get0_notAfter(signer)) > 0) {
            snprintf(facts->timestamp, sizeof(facts->timestamp),
                     "its time stamp (%s) lies outside the signer's certificate's validity", when);
            goto cleanup;
        }
    }
    facts->timestamped = true;
    snprintf(facts->timestamp, sizeof(facts->timestamp), "time-stamped %s by %s", when, authority);

cleanup:
    X509_STORE_free(none);
    TS_TST_INFO_free(info);
    PKCS7_free(token);
}

bool ExecutableSignerPin(int file, uint64_t size, const char* path, char pin[kPinBytes], char* error,
                         size_t capacity)
{
    AuthenticodeLayout layout;
    char reason[512];
    PKCS7* pkcs7 = ReadSignature(file, size, &layout, reason, sizeof(reason));
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

bool CertificateFilePin(FILE* file, const char* path, char pin[kPinBytes], char* error, size_t capacity)
{
    X509* certificate = PEM_read_X509(file, nullptr, nullptr, nullptr);
    if (certificate == nullptr) {
        rewind(file);
        certificate = d2i_X509_fp(file, nullptr);
    }
    const bool ok = certificate != nullptr && CertificatePin(certificate, pin);
    if (!ok) {
        snprintf(error, capacity, "%s is neither a certificate (PEM or DER) nor a Windows executable", path);
    }
    X509_free(certificate);
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
        ok = CertificateFilePin(file, path, pin, error, capacity);
    }

cleanup:
    if (file != nullptr) {
        fclose(file);
    }
    return ok;
}

bool CheckCoreSigner(int file, uint64_t size, const char* const* pins, size_t pinCount, SignerFacts* facts,
                     char* error, size_t capacity)
{
    AuthenticodeLayout layout;
    char pin[kPinBytes] = "";
    const char* problem = nullptr;
    bool pinned = false;
    bool ok = false;
    X509* signer = nullptr;
    memset(facts, 0, sizeof(*facts));
    PKCS7* pkcs7 = ReadSignature(file, size, &layout, error, capacity);
    if (pkcs7 == nullptr) {
        return false;
    }
    signer = SignerCertificate(pkcs7);
    if (signer == nullptr || !CertificatePin(signer, pin)) {
        snprintf(error, capacity, "has a signature that names no signer certificate");
        goto cleanup;
    }
    Subject(signer, facts->subject, sizeof(facts->subject));
    FormatTime(X509_get0_notAfter(signer), "%Y-%m-%d", facts->expiry, sizeof(facts->expiry));
    for (size_t i = 0; i < pinCount; ++i) {
        pinned = pinned || SamePin(pins[i], pin);
    }
    if (!pinned) {
        snprintf(error, capacity, "is signed by %s (pin %s), which is none of the signers given", facts->subject,
                 pin);
        goto cleanup;
    }
    if (!SignatureIntact(file, layout, pkcs7, &problem)) {
        snprintf(error, capacity, "is signed by %s, but its signature does not verify: %s", facts->subject, problem);
        goto cleanup;
    }
    if (!ChainCarried(pkcs7, signer, facts, error, capacity)) {
        goto cleanup;
    }
    CheckTimestamp(pkcs7, signer, facts);
    ok = true;

cleanup:
    PKCS7_free(pkcs7);
    return ok;
}
