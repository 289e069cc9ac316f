// Names of certificates and times in messages.
#include "publish/certificate_text.h"

#include <cstring>
#include <ctime>

void CertificateSubject(X509* certificate, char* text, size_t capacity)
{
    X509_NAME_oneline(X509_get_subject_name(certificate), text, static_cast<int>(capacity));
}

void CertificateIssuer(X509* certificate, char* text, size_t capacity)
{
    X509_NAME_oneline(X509_get_issuer_name(certificate), text, static_cast<int>(capacity));
}

void FormatAsn1Time(const ASN1_TIME* time, const char* format, char* text, size_t capacity)
{
    struct tm parts;
    memset(&parts, 0, sizeof(parts));
    text[0] = '\0';
    if (ASN1_TIME_to_tm(time, &parts) == 1) {
        strftime(text, capacity, format, &parts);
    }
}
