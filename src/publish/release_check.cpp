// Checking a served release against what the launcher relies on.
#include "publish/release_check.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "publish/core_signature.h"
#include "publish/https_fetch.h"
#include "publish/interrupt_cleanup.h"
#include "publish/release_document.h"
#include "publish/release_stage.h"
#include "publish/update_endpoint.h"

namespace {

constexpr size_t kUrlBytes = 2048;
// Far above any document the launcher could read; keeps a wrong URL from
// filling memory.
constexpr uint64_t kDocumentFetchLimit = 1 << 20;
constexpr uint64_t kExecutableFetchLimit = 1ull << 32;

bool Answered(const char* url, bool fetched, long status, const char* error, FILE* err)
{
    if (!fetched) {
        fprintf(err, "cannot fetch %s\n", error);
        return false;
    }
    if (status != 200) {
        fprintf(err, "%s answered HTTP status %ld; the launcher needs 200\n", url, status);
        return false;
    }
    return true;
}

// The host and port the URL must name, from --host or --launcher; true with
// *wanted false when neither was given.
bool ExpectedEndpoint(const CheckOptions& options, bool* wanted, char host[kHostBytes], long* port, FILE* err)
{
    char error[1024];
    *wanted = options.host != nullptr || options.launcher != nullptr;
    if (options.host != nullptr && !ParseEndpoint(options.host, strlen(options.host), host, port)) {
        fprintf(err, "--host %s is not NAME or NAME:PORT\n", options.host);
        return false;
    }
    if (options.launcher != nullptr && !ReadLauncherEndpoint(options.launcher, host, port, error, sizeof(error))) {
        fprintf(err, "%s\n", error);
        return false;
    }
    return true;
}

// The executable streamed into a temporary file (removed on interruption) and
// its digest, then mapped for the version reader, which needs the resources
// wherever they lie in the file. *file and *mapping are released by the caller.
bool FetchExecutable(const char* url, const CheckOptions& options, char* path, int* file, void** mapping,
                     CoreFacts* facts, FILE* err)
{
    char error[kUrlBytes + 256];
    char sha256[kSha256HexBytes];
    uint64_t size = 0;
    long status = 0;
    const char* temp = getenv("TMPDIR");
    snprintf(path, kUrlBytes, "%s/tovrin-publish-core.XXXXXX", temp != nullptr && temp[0] != '\0' ? temp : "/tmp");
    *file = CreateTemporary(path, 0, 0);
    if (*file < 0) {
        fprintf(err, "cannot create a temporary file %s: %s\n", path, strerror(errno));
        return false;
    }
    const bool fetched = HttpsDownload(url, options.caFile, kExecutableFetchLimit, *file, isatty(STDERR_FILENO) == 1,
                                       &size, sha256, &status, error, sizeof(error));
    if (!Answered(url, fetched, status, error, err)) {
        return false;
    }
    if (size > 0) {
        *mapping = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, *file, 0);
        if (*mapping == MAP_FAILED) {
            *mapping = nullptr;
            fprintf(err, "cannot map %s: %s\n", path, strerror(errno));
            return false;
        }
    }
    ExamineCoreWithDigest(static_cast<const unsigned char*>(*mapping), size, sha256, facts);
    return true;
}

}  // namespace

bool CheckRelease(const CheckOptions& options, FILE* out, FILE* err)
{
    std::vector<unsigned char> documentBody;
    char documentUrl[kUrlBytes];
    char exeUrl[kUrlBytes];
    char corePath[kUrlBytes] = "";
    char document[kDocumentLimit + 1];
    char report[kReportBytes] = "";
    char version[24] = "";
    char error[kUrlBytes + 256];
    char host[kHostBytes];
    char signer[kUrlBytes];
    char signedBy[kUrlBytes] = "";
    SignerFacts signerFacts = {};
    CoreFacts facts = {};
    const char* baseUrl = options.url;
    size_t baseLength = strlen(baseUrl);
    size_t kept = 0;
    long port = 0;
    long status = 0;
    int problems = 0;
    int coreFile = -1;
    void* coreMapping = nullptr;
    bool hostWanted = false;
    bool ok = false;

    while (baseLength > 0 && baseUrl[baseLength - 1] == '/') {
        --baseLength;
    }
    if (baseLength + 64 >= kUrlBytes) {
        fprintf(err, "the URL is too long\n");
        return false;
    }
    snprintf(documentUrl, sizeof(documentUrl), "%.*s/%s/%s", static_cast<int>(baseLength), baseUrl, kReleaseFolder,
             kDocumentName);
    snprintf(exeUrl, sizeof(exeUrl), "%.*s/%s/%s", static_cast<int>(baseLength), baseUrl, kReleaseFolder,
             kExecutableName);
    // A release served from a host the launcher does not ask is never seen.
    if (!ExpectedEndpoint(options, &hostWanted, host, &port, err)) {
        return false;
    }
    if (hostWanted && !UrlHasEndpoint(baseUrl, host, port, error, sizeof(error))) {
        fprintf(err, "%s\n", error);
        return false;
    }

    const bool fetched = HttpsGet(documentUrl, options.caFile, kDocumentFetchLimit, &documentBody, &status, error,
                                  sizeof(error));
    if (!Answered(documentUrl, fetched, status, error, err) ||
        !FetchExecutable(exeUrl, options, corePath, &coreFile, &coreMapping, &facts, err)) {
        goto cleanup;
    }
    if (documentBody.empty()) {
        fprintf(err, "%s is empty; the launcher treats the host as unavailable\n", documentUrl);
        goto cleanup;
    }
    // The launcher keeps the first 4095 bytes and reads them as a C string.
    kept = documentBody.size() < kDocumentLimit ? documentBody.size() : kDocumentLimit;
    memcpy(document, documentBody.data(), kept);
    document[kept] = '\0';
    if (documentBody.size() > kDocumentLimit) {
        fprintf(err, "the document has %zu bytes; the launcher reads only the first %zu\n", documentBody.size(),
                kDocumentLimit);
        ++problems;
    }

    problems += ListDisagreements(document, facts, report, sizeof(report));
    fputs(report, err);
    if (options.signerCount > 0) {
        const SignerRules rules = {options.signers, options.signerCount, options.signerCaFile, options.tsaCaFile};
        if (!CheckCoreSigner(coreFile, facts.size, rules, &signerFacts, signer, sizeof(signer))) {
            fprintf(err, "the executable %s\n", signer);
            ++problems;
        } else {
            snprintf(signedBy, sizeof(signedBy), ", signed by a given signer (%s; %s; %s)", signerFacts.subject,
                     signerFacts.chain, signerFacts.timestamp);
            if (!signerFacts.timestamped) {
                fprintf(err,
                        "warning: the executable's signature has no trusted time stamp (%s): on Windows it stops "
                        "verifying when the signing certificate expires on %s, and from then on every pinned "
                        "launcher refuses the core\n",
                        signerFacts.timestamp, signerFacts.expiry);
            }
        }
    }
    if (problems > 0) {
        fprintf(err, "%s does not serve a consistent release (%d problem%s)\n", baseUrl, problems,
                problems == 1 ? "" : "s");
        goto cleanup;
    }
    FormatFileVersion(facts.version, version, sizeof(version));
    fprintf(out, "%s serves version %s, %llu bytes, sha256 %s%s: consistent\n", baseUrl, version,
            static_cast<unsigned long long>(facts.size), facts.sha256, signedBy);
    ok = true;

cleanup:
    if (coreMapping != nullptr) {
        munmap(coreMapping, facts.size);
    }
    if (coreFile >= 0) {
        close(coreFile);
        unlink(corePath);
    }
    EndTemporaries();
    return ok;
}
