// The update host's certificate judged with the machine's chain engine. WinHTTP
// judges it with the current user's engine, which adds the user's own Root
// store, and any program of the user can add a root there.
#include "transfer/host_certificate.h"

#include <wincrypt.h>

#include "transfer/chain_trust.h"
#include "update_host.h"

namespace {

// Builds cert's chain with engine, taking intermediates the host sent from the
// certificate's own store, and judges it as the update host's. True when it is
// trusted; chain receives the chain whenever one was built.
bool ChainTrusted(HCERTCHAINENGINE engine, PCCERT_CONTEXT cert, PCCERT_CHAIN_CONTEXT* chain)
{
    LPSTR serverAuth = const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH);
    CERT_CHAIN_PARA chainPara = {};
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl = {};
    CERT_CHAIN_POLICY_PARA policyPara = {};
    CERT_CHAIN_POLICY_STATUS policyStatus = {};

    chainPara.cbSize = sizeof(chainPara);
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
    chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = &serverAuth;
    // No revocation flags: revocation was never checked, and a start must not need the issuers.
    if (!CertGetCertificateChain(engine, cert, nullptr, cert->hCertStore, &chainPara, 0, nullptr, chain)) {
        *chain = nullptr;
        return false;
    }
    ssl.cbSize = sizeof(ssl);
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = const_cast<wchar_t*>(kUpdateHost);
    policyPara.cbSize = sizeof(policyPara);
    policyPara.pvExtraPolicyPara = &ssl;
    policyStatus.cbSize = sizeof(policyStatus);
    return CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, *chain, &policyPara, &policyStatus) &&
           ChainTrustedForHost(policyStatus.dwError, (*chain)->TrustStatus.dwErrorStatus);
}

}  // namespace

HostTrust JudgeHostCertificate(HINTERNET request, uint32_t* error, wchar_t* userRoot, size_t units)
{
    PCCERT_CONTEXT cert = nullptr;
    PCCERT_CHAIN_CONTEXT machineChain = nullptr;
    PCCERT_CHAIN_CONTEXT userChain = nullptr;
    DWORD size = sizeof(cert);
    HostTrust trust = HostCertificateUntrusted;

    userRoot[0] = L'\0';
    if (!WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &cert, &size) || cert == nullptr) {
        return HostCertificateNone;
    }
    if (ChainTrusted(HCCE_LOCAL_MACHINE, cert, &machineChain)) {
        trust = HostCertificateTrusted;
        goto cleanup;
    }
    *error = ERROR_WINHTTP_SECURE_INVALID_CA;
    // WinHTTP took it, so the user's engine may well trust it: name the root that would.
    if (ChainTrusted(HCCE_CURRENT_USER, cert, &userChain)) {
        const CERT_SIMPLE_CHAIN* last = userChain->rgpChain[userChain->cChain - 1];
        CertGetNameStringW(last->rgpElement[last->cElement - 1]->pCertContext, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0,
                           nullptr, userRoot, static_cast<DWORD>(units));
    }

cleanup:
    if (userChain != nullptr) {
        CertFreeCertificateChain(userChain);
    }
    if (machineChain != nullptr) {
        CertFreeCertificateChain(machineChain);
    }
    CertFreeCertificateContext(cert);
    return trust;
}
