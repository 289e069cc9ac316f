// Authenticode check through WinVerifyTrust, then the pin of the signer: Windows
// trusts any code-signing certificate that chains to one of its roots, so who
// signed is checked here, against the SHA-256 of the leaf's public key.
#include "transfer/file_signature.h"

#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstring>

#include "transfer/pin_list.h"

namespace {

// SHA-256 of the certificate's SubjectPublicKeyInfo in DER.
bool PublicKeyDigest(PCCERT_CONTEXT certificate, uint8_t digest[kSha256Bytes])
{
    BYTE* encoded = nullptr;
    DWORD encodedBytes = 0;
    DWORD digestBytes = kSha256Bytes;
    bool ok = false;

    if (!CryptEncodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, &certificate->pCertInfo->SubjectPublicKeyInfo,
                             CRYPT_ENCODE_ALLOC_FLAG, nullptr, &encoded, &encodedBytes)) {
        goto cleanup;
    }
    if (!CryptHashCertificate2(BCRYPT_SHA256_ALGORITHM, 0, nullptr, encoded, encodedBytes, digest, &digestBytes) ||
        digestBytes != kSha256Bytes) {
        goto cleanup;
    }
    ok = true;

cleanup:
    if (encoded != nullptr) {
        LocalFree(encoded);
    }
    return ok;
}

// The leaf certificate of the primary signature of a verified file.
PCCERT_CONTEXT PrimarySignerLeaf(HANDLE stateData)
{
    CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(stateData);
    if (provider == nullptr) {
        return nullptr;
    }
    CRYPT_PROVIDER_SGNR* signer = WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
    if (signer == nullptr) {
        return nullptr;
    }
    CRYPT_PROVIDER_CERT* leaf = WTHelperGetProvCertFromChain(signer, 0);
    return leaf != nullptr ? leaf->pCert : nullptr;
}

}  // namespace

bool FileSignedByPinnedKey(HANDLE file, const wchar_t* path, const char* const* pins, size_t count, uint8_t* signer)
{
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    WINTRUST_FILE_INFO fileInfo = {};
    WINTRUST_DATA trust = {};
    uint8_t keyDigest[kSha256Bytes];
    bool ok = false;

    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = path;
    fileInfo.hFile = file;
    trust.cbStruct = sizeof(trust);
    trust.dwUIChoice = WTD_UI_NONE;
    // No revocation and no fetching of anything: an offline start must work.
    trust.fdwRevocationChecks = WTD_REVOKE_NONE;
    trust.dwProvFlags = WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL;
    trust.dwUnionChoice = WTD_CHOICE_FILE;
    trust.pFile = &fileInfo;
    trust.dwStateAction = WTD_STATEACTION_VERIFY;

    if (WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &trust) == ERROR_SUCCESS) {
        PCCERT_CONTEXT leaf = PrimarySignerLeaf(trust.hWVTStateData);
        ok = leaf != nullptr && PublicKeyDigest(leaf, keyDigest) && SignerPinListed(keyDigest, pins, count);
    }
    if (ok && signer != nullptr) {
        memcpy(signer, keyDigest, kSha256Bytes);
    }

    // The state is released whatever the verification said.
    trust.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &trust);
    return ok;
}
