// The RFC 3161 time stamp of an Authenticode signature.
#include "publish/timestamp_check.h"

#include <openssl/evp.h>
#include <openssl/ts.h>

#include <cstdio>
#include <cstring>

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

}  // namespace

bool CheckTimestamp(PKCS7* signature, X509* signer, char* text, size_t capacity)
{
    PKCS7_SIGNER_INFO* signerInfo = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(signature), 0);
    PKCS7* token = TimestampToken(signerInfo);
    TS_TST_INFO* info = nullptr;
    X509_STORE* none = X509_STORE_new();
    const ASN1_GENERALIZEDTIME* time = nullptr;
    X509* stamper = nullptr;
    char when[64];
    char authority[256] = "?";
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
    snprintf(text, capacity, "time-stamped %s by %s", when, authority);
    ok = true;

cleanup:
    X509_STORE_free(none);
    TS_TST_INFO_free(info);
    PKCS7_free(token);
    return ok;
}
