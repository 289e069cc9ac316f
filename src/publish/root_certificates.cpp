// Root certificates from this machine's store and from PEM files.
#include "publish/root_certificates.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// The roots Debian's ca-certificates package installs.
constexpr char kSystemRoots[] = "/etc/ssl/certs/ca-certificates.crt";

}  // namespace

bool ReadPemCertificates(const char* path, STACK_OF(X509)* certificates, char* error, size_t capacity)
{
    int count = 0;
    FILE* file = fopen(path, "r");
    if (file == nullptr) {
        snprintf(error, capacity, "cannot read %s: %s", path, strerror(errno));
        return false;
    }
    ERR_clear_error();
    for (X509* certificate = PEM_read_X509(file, nullptr, nullptr, nullptr); certificate != nullptr;
         certificate = PEM_read_X509(file, nullptr, nullptr, nullptr)) {
        if (certificates == nullptr || sk_X509_push(certificates, certificate) == 0) {
            X509_free(certificate);
        } else {
            ++count;
        }
    }
    // Reading stops at the end of the file with "no start line"; any other
    // reason is a damaged certificate, which must not be skipped silently.
    const bool ended = ERR_GET_REASON(ERR_peek_last_error()) == PEM_R_NO_START_LINE;
    ERR_clear_error();
    fclose(file);
    if (!ended) {
        snprintf(error, capacity, "%s holds a damaged PEM certificate", path);
        return false;
    }
    if (count == 0) {
        snprintf(error, capacity, "%s holds no PEM certificate", path);
        return false;
    }
    return true;
}

STACK_OF(X509)* ReadSystemRoots()
{
    char ignored[256];
    STACK_OF(X509)* roots = sk_X509_new_null();
    // A machine without the store has no roots; nothing else changes.
    ReadPemCertificates(kSystemRoots, roots, ignored, sizeof(ignored));
    return roots;
}

bool IsSelfSigned(X509* certificate)
{
    return X509_check_issued(certificate, certificate) == X509_V_OK &&
           X509_verify(certificate, X509_get0_pubkey(certificate)) == 1;
}
