// The RFC 3161 time stamp of an Authenticode signature.
#include "publish/timestamp_check.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ts.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "publish/authenticode.h"
#include "publish/certificate_text.h"

namespace {

constexpr char kRfc3161Oid[] = "1.3.6.1.4.1.311.3.3.1";  // szOID_RFC3161_counterSign

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

// The token's imprint is the digest of the signer's signature value, so it
// stamps this signature and no other.
bool StampsSignature(TS_TST_INFO* info, PKCS7_SIGNER_INFO* signerInfo)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    TS_MSG_IMPRINT* imprint = TS_TST_INFO_get_msg_imprint(info);
    const EVP_MD* md = EVP_get_digestbyobj(TS_MSG_IMPRINT_get_algo(imprint)->algorithm);
    const ASN1_OCTET_STRING* stamped = TS_MSG_IMPRINT_get_msg(imprint);
    return md != nullptr &&
           EVP_Digest(ASN1_STRING_get0_data(signerInfo->enc_digest), ASN1_STRING_length(signerInfo->enc_digest),
                      digest, &digestLength, md, nullptr) == 1 &&
           static_cast<int>(digestLength) == ASN1_STRING_length(stamped) &&
           memcmp(digest, ASN1_STRING_get0_data(stamped), digestLength) == 0;
}

void AddToStore(X509_STORE* store, STACK_OF(X509)* certificates)
{
    for (int i = 0; i < sk_X509_num(certificates); ++i) {
        X509_STORE_add_cert(store, sk_X509_value(certificates, i));
    }
}

// Why the authority's chain is not trusted, found by building it once more
// as TS_RESP_verify_signature does; when it builds, what failed is the
// token's reference to the authority's certificate.
void ExplainDistrust(PKCS7* token, X509_STORE* store, char* reason, size_t capacity)
{
    X509_STORE_CTX* context = X509_STORE_CTX_new();
    X509* at = nullptr;
    char name[256] = "?";
    char issuer[256] = "?";
    snprintf(reason, capacity, "its stamp does not name the authority's certificate as RFC 3161 requires");
    if (context == nullptr ||
        X509_STORE_CTX_init(context, store, SignerCertificate(token), token->d.sign->cert) != 1) {
        goto cleanup;
    }
    X509_STORE_CTX_set_purpose(context, X509_PURPOSE_TIMESTAMP_SIGN);
    if (X509_verify_cert(context) == 1) {
        goto cleanup;
    }
    at = X509_STORE_CTX_get_current_cert(context);
    if (at != nullptr) {
        CertificateSubject(at, name, sizeof(name));
        CertificateIssuer(at, issuer, sizeof(issuer));
    }
    switch (X509_STORE_CTX_get_error(context)) {
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        snprintf(reason, capacity, "it issued its own certificate, as anyone can");
        break;
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        snprintf(reason, capacity, "its chain ends at %s, a root that neither this machine nor --tsa-ca-file has",
                 name);
        break;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        snprintf(reason, capacity,
                 "its chain ends at %s, issued by %s, which is neither carried nor a root this machine or "
                 "--tsa-ca-file has",
                 name, issuer);
        break;
    case X509_V_ERR_INVALID_PURPOSE:
        if (X509_STORE_CTX_get_error_depth(context) > 0) {
            snprintf(reason, capacity, "%s in its chain may not issue certificates for time stamping", name);
        } else {
            snprintf(reason, capacity, "its certificate is not for time stamping (RFC 3161 asks for the extended key "
                     "usage timeStamping alone, marked critical)");
        }
        break;
    default:
        snprintf(reason, capacity, "its chain does not verify at %s as of the stamp's time: %s", name,
                 X509_verify_cert_error_string(X509_STORE_CTX_get_error(context)));
        break;
    }

cleanup:
    X509_STORE_CTX_free(context);
}

// OpenSSL's RFC 3161 verification of the token's signer: its chain to a
// trusted root with the time-stamping purpose, and the token's reference to
// its certificate. The chain is judged as of the stamp's time: the authority's
// certificate had to be valid when it stamped, and a stamp is meant to outlive
// it.
bool AuthorityTrusted(PKCS7* token, const ASN1_GENERALIZEDTIME* time, STACK_OF(X509)* systemRoots,
                      STACK_OF(X509)* authorities, char* reason, size_t capacity)
{
    X509_STORE* store = X509_STORE_new();
    X509* authority = nullptr;
    struct tm parts;
    bool ok = false;
    memset(&parts, 0, sizeof(parts));
    snprintf(reason, capacity, "its time cannot be read");
    if (store == nullptr || ASN1_TIME_to_tm(time, &parts) != 1) {
        goto cleanup;
    }
    AddToStore(store, systemRoots);
    AddToStore(store, authorities);
    X509_VERIFY_PARAM_set_time(X509_STORE_get0_param(store), timegm(&parts));
    ok = TS_RESP_verify_signature(token, nullptr, store, &authority) == 1;
    if (!ok) {
        ExplainDistrust(token, store, reason, capacity);
    }

cleanup:
    ERR_clear_error();
    X509_free(authority);
    X509_STORE_free(store);
    return ok;
}

}  // namespace

bool CheckTimestamp(PKCS7* signature, X509* signer, STACK_OF(X509)* systemRoots, STACK_OF(X509)* authorities,
                    char* text, size_t capacity)
{
    PKCS7_SIGNER_INFO* signerInfo = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(signature), 0);
    PKCS7* token = TimestampToken(signerInfo);
    TS_TST_INFO* info = nullptr;
    X509_STORE* none = X509_STORE_new();
    const ASN1_GENERALIZEDTIME* time = nullptr;
    X509* stamper = nullptr;
    char when[64];
    char authority[256] = "?";
    char distrust[768];
    bool ok = false;
    snprintf(text, capacity, "it has no RFC 3161 time stamp");
    if (PKCS7_get_attribute(signerInfo, NID_pkcs9_countersignature) != nullptr) {
        snprintf(text, capacity,
                 "it has only a legacy Authenticode time stamp, which this tool does not check; use an RFC 3161 one");
    }
    if (token == nullptr) {
        goto cleanup;
    }
    snprintf(text, capacity, "its time stamp does not verify");
    info = PKCS7_to_TS_TST_INFO(token);
    if (info == nullptr || none == nullptr ||
        PKCS7_verify(token, nullptr, none, nullptr, nullptr, PKCS7_NOVERIFY) != 1) {
        goto cleanup;
    }
    if (!StampsSignature(info, signerInfo)) {
        snprintf(text, capacity, "its time stamp is for another signature");
        goto cleanup;
    }
    time = TS_TST_INFO_get_time(info);
    stamper = SignerCertificate(token);
    FormatAsn1Time(time, "%Y-%m-%d %H:%M:%S UTC", when, sizeof(when));
    if (stamper != nullptr) {
        CertificateSubject(stamper, authority, sizeof(authority));
    }
    if (ASN1_TIME_compare(time, X509_get0_notBefore(signer)) < 0 ||
        ASN1_TIME_compare(time, X509_get0_notAfter(signer)) > 0) {
        snprintf(text, capacity, "its time stamp (%s) lies outside the signer's certificate's validity", when);
        goto cleanup;
    }
    if (!AuthorityTrusted(token, time, systemRoots, authorities, distrust, sizeof(distrust))) {
        snprintf(text, capacity, "its time stamp's authority %s is not trusted: %s", authority, distrust);
        goto cleanup;
    }
    snprintf(text, capacity, "time-stamped %s by %s", when, authority);
    ok = true;

cleanup:
    X509_STORE_free(none);
    TS_TST_INFO_free(info);
    PKCS7_free(token);
    return ok;
}
