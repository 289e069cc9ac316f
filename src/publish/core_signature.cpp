// The Authenticode signature of a core: intact, by a pinned signer, its chain carried.
#include "publish/core_signature.h"

#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstring>

#include "publish/authenticode.h"
#include "publish/certificate_text.h"
#include "publish/root_certificates.h"
#include "publish/certificate_pin.h"
#include "publish/timestamp_check.h"

namespace {

constexpr char kIndirectDataOid[] = "1.3.6.1.4.1.311.2.1.4";  // SPC_INDIRECT_DATA_OBJID
// Longer chains than this are no code-signing chain (and end any loop).
constexpr int kMaxChain = 8;

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
bool SignatureIntact(int file, const PeImageLayout& layout, PKCS7* pkcs7, const char** problem)
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

// The roots --ca-file names, each of which must be one, and the certificates
// --tsa-ca-file names for time-stamp authorities.
bool ReadGivenRoots(const SignerRules& rules, STACK_OF(X509)* roots, STACK_OF(X509)* authorities, char* error,
                    size_t capacity)
{
    char problem[512];
    char name[256];
    if (rules.caFile != nullptr && !ReadPemCertificates(rules.caFile, roots, problem, sizeof(problem))) {
        snprintf(error, capacity, "cannot be checked: --ca-file: %s", problem);
        return false;
    }
    for (int i = 0; i < sk_X509_num(roots); ++i) {
        // A chain that reaches an intermediate has not reached its root.
        if (!IsSelfSigned(sk_X509_value(roots, i))) {
            CertificateSubject(sk_X509_value(roots, i), name, sizeof(name));
            snprintf(error, capacity, "cannot be checked: --ca-file %s holds %s, which is no root (it did not issue "
                     "itself); give the root certificates only", rules.caFile, name);
            return false;
        }
    }
    if (rules.tsaCaFile != nullptr && !ReadPemCertificates(rules.tsaCaFile, authorities, problem, sizeof(problem))) {
        snprintf(error, capacity, "cannot be checked: --tsa-ca-file: %s", problem);
        return false;
    }
    return true;
}

// Follows the chain from the signer through the certificates the signature
// carries. It is complete when the last one is a root this machine has or
// --ca-file gives, or was issued by one. Otherwise nothing here can tell
// whether the last one's issuer is a root: with --ca-file the chain is
// refused, naming that issuer as the first missing certificate; without, it
// is refused only when it carries the signer's certificate alone (code-signing
// certificates are issued by intermediate CAs, which the launcher, checking
// offline, could not fetch), and where it ends is reported in facts->chain.
bool ChainCarried(PKCS7* pkcs7, X509* signer, STACK_OF(X509)* systemRoots, STACK_OF(X509)* givenRoots,
                  const char* caFile, SignerFacts* facts, char* error, size_t capacity)
{
    char top[256];
    char issuer[256];
    char carried[300] = "it";
    X509* current = signer;
    for (int depth = 0; depth < kMaxChain; ++depth) {
        X509* next = FindIssuer(current, pkcs7->d.sign->cert);
        if (next == nullptr || next == current) {
            break;
        }
        current = next;
    }
    const bool given = FindIssuer(current, givenRoots) != nullptr;
    const bool here = !given && FindIssuer(current, systemRoots) != nullptr;
    const bool selfSigned = IsSelfSigned(current);
    CertificateSubject(current, top, sizeof(top));
    CertificateIssuer(current, issuer, sizeof(issuer));
    if (given || here) {
        snprintf(facts->chain, sizeof(facts->chain), "its chain reaches %s, a root %s", selfSigned ? top : issuer,
                 given ? "--ca-file gives" : "this machine has");
        return true;
    }
    if (selfSigned && caFile != nullptr) {
        snprintf(error, capacity,
                 "is signed by %s, but its chain ends at %s, a root that neither --ca-file %s nor this machine has",
                 facts->subject, top, caFile);
        return false;
    }
    if (selfSigned) {
        snprintf(facts->chain, sizeof(facts->chain), "its chain ends at %s, a root this machine does not have",
                 top);
        return true;
    }
    if (current == signer || caFile != nullptr) {
        if (current != signer) {
            snprintf(carried, sizeof(carried), "%s, the last certificate it carries", top);
        }
        snprintf(error, capacity,
                 "is signed by %s, but its signature does not carry every certificate between the signer's "
                 "certificate and its root: %s, which issued %s, is missing, and the launcher checks offline, so "
                 "Windows cannot fetch it",
                 facts->subject, issuer, carried);
        return false;
    }
    snprintf(facts->chain, sizeof(facts->chain),
             "its chain ends at %s, issued by %s, which is not a root this machine has; whether the chain is "
             "complete could not be checked (give its root with --ca-file)",
             top, issuer);
    return true;
}

}  // namespace

bool CheckCoreSigner(int file, uint64_t size, const SignerRules& rules, SignerFacts* facts, char* error,
                     size_t capacity)
{
    PeImageLayout layout;
    char pin[kPinBytes] = "";
    const char* problem = nullptr;
    uint8_t keyDigest[kSha256Bytes];
    bool ok = false;
    X509* signer = nullptr;
    PKCS7* pkcs7 = nullptr;
    STACK_OF(X509)* systemRoots = ReadSystemRoots();
    STACK_OF(X509)* givenRoots = sk_X509_new_null();
    STACK_OF(X509)* authorities = sk_X509_new_null();
    memset(facts, 0, sizeof(*facts));
    if (!ReadGivenRoots(rules, givenRoots, authorities, error, capacity)) {
        goto cleanup;
    }
    pkcs7 = ReadPrimarySignature(file, size, &layout, error, capacity);
    if (pkcs7 == nullptr) {
        goto cleanup;
    }
    signer = SignerCertificate(pkcs7);
    if (signer == nullptr || !CertificateKeyDigest(signer, keyDigest)) {
        snprintf(error, capacity, "has a signature that names no signer certificate");
        goto cleanup;
    }
    CertificateSubject(signer, facts->subject, sizeof(facts->subject));
    FormatAsn1Time(X509_get0_notAfter(signer), "%Y-%m-%d", facts->expiry, sizeof(facts->expiry));
    // Matched as the launcher matches it.
    FormatSha256Hex(keyDigest, pin);
    if (!SignerPinListed(keyDigest, rules.pins, rules.pinCount)) {
        snprintf(error, capacity, "is signed by %s (pin %s), which is none of the signers given", facts->subject,
                 pin);
        goto cleanup;
    }
    if (!SignatureIntact(file, layout, pkcs7, &problem)) {
        snprintf(error, capacity, "is signed by %s, but its signature does not verify: %s", facts->subject, problem);
        goto cleanup;
    }
    if (!ChainCarried(pkcs7, signer, systemRoots, givenRoots, rules.caFile, facts, error, capacity)) {
        goto cleanup;
    }
    facts->timestamped =
        CheckTimestamp(pkcs7, signer, systemRoots, authorities, facts->timestamp, sizeof(facts->timestamp));
    ok = true;

cleanup:
    PKCS7_free(pkcs7);
    sk_X509_pop_free(authorities, X509_free);
    sk_X509_pop_free(givenRoots, X509_free);
    sk_X509_pop_free(systemRoots, X509_free);
    return ok;
}
