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
#include "publish/host_policy.h"
#include "publish/https_fetch.h"
#include "publish/interrupt_cleanup.h"
#include "publish/release_document.h"
#include "publish/release_stage.h"
#include "publish/update_endpoint.h"
#include "update/release_info.h"
#include "transfer/download_resume.h"

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
// wherever they lie in the file. *file and *mapping are released by the caller;
// slot is the file's interrupt cleanup slot.
bool FetchExecutable(const char* url, const CheckOptions& options, char* path, int* file, void** mapping,
                     CoreFacts* facts, int slot, AnswerHeaders* headers, FILE* err)
{
    char error[kUrlBytes + 256];
    char sha256[kSha256HexBytes];
    uint64_t size = 0;
    long status = 0;
    const char* temp = getenv("TMPDIR");
    snprintf(path, kUrlBytes, "%s/tovrin-publish-core.XXXXXX", temp != nullptr && temp[0] != '\0' ? temp : "/tmp");
    *file = CreateTemporary(path, 0, slot);
    if (*file < 0) {
        fprintf(err, "cannot create a temporary file %s: %s\n", path, strerror(errno));
        return false;
    }
    const bool fetched = HttpsDownload(url, options.caFile, kExecutableFetchLimit, *file, isatty(STDERR_FILENO) == 1,
                                       &size, sha256, &status, error, sizeof(error), headers);
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

// The URLs of the document and the executable under the base URL, which must
// name the host the launcher asks when --host or --launcher says which.
bool ReleaseUrls(const CheckOptions& options, char documentUrl[kUrlBytes], char exeUrl[kUrlBytes], FILE* err)
{
    char error[kUrlBytes + 256];
    char host[kHostBytes];
    long port = 0;
    bool hostWanted = false;
    size_t baseLength = strlen(options.url);
    while (baseLength > 0 && options.url[baseLength - 1] == '/') {
        --baseLength;
    }
    if (baseLength + 64 >= kUrlBytes) {
        fprintf(err, "the URL is too long\n");
        return false;
    }
    snprintf(documentUrl, kUrlBytes, "%.*s/%s/%s", static_cast<int>(baseLength), options.url, kReleaseFolder,
             kDocumentName);
    snprintf(exeUrl, kUrlBytes, "%.*s/%s/%s", static_cast<int>(baseLength), options.url, kReleaseFolder,
             kExecutableName);
    // A release served from a host the launcher does not ask is never seen.
    if (!ExpectedEndpoint(options, &hostWanted, host, &port, err)) {
        return false;
    }
    if (hostWanted && !UrlHasEndpoint(options.url, host, port, error, sizeof(error))) {
        fprintf(err, "%s\n", error);
        return false;
    }
    return true;
}

// The document as the launcher reads it: its first 4095 bytes as a C string.
// False when it is empty, which the launcher takes for an unavailable host; a
// longer one counts as a problem.
bool KeepDocument(const char* documentUrl, const std::vector<unsigned char>& body, char document[kDocumentLimit + 1],
                  int* problems, FILE* err)
{
    if (body.empty()) {
        fprintf(err, "%s is empty; the launcher treats the host as unavailable\n", documentUrl);
        return false;
    }
    const size_t kept = body.size() < kDocumentLimit ? body.size() : kDocumentLimit;
    memcpy(document, body.data(), kept);
    document[kept] = '\0';
    if (body.size() > kDocumentLimit) {
        fprintf(err, "the document has %zu bytes; the launcher reads only the first %zu\n", body.size(),
                kDocumentLimit);
        ++*problems;
    }
    return true;
}

// The executable's signer against --signer and the roots given; counts a
// problem when it fails, and warns of a signature without a trusted time
// stamp. signedBy says who signed it, for the report.
void CheckSigner(const CheckOptions& options, int coreFile, const CoreFacts& facts, char signedBy[kUrlBytes],
                 int* problems, FILE* err)
{
    char signer[kUrlBytes];
    SignerFacts signerFacts = {};
    const SignerRules rules = {options.signers, options.signerCount, options.signerCaFile, options.tsaCaFile};
    if (!CheckCoreSigner(coreFile, facts.size, rules, &signerFacts, signer, sizeof(signer))) {
        fprintf(err, "the executable %s\n", signer);
        ++*problems;
        return;
    }
    snprintf(signedBy, kUrlBytes, ", signed by a given signer (%s; %s; %s)", signerFacts.subject, signerFacts.chain,
             signerFacts.timestamp);
    if (!signerFacts.timestamped) {
        fprintf(err,
                "warning: the executable's signature has no trusted time stamp (%s): on Windows it stops "
                "verifying when the signing certificate expires on %s, and from then on every pinned "
                "launcher refuses the core\n",
                signerFacts.timestamp, signerFacts.expiry);
    }
}

// The launcher the document names, when it names one, fetched from beside the
// core and checked against the document as launchers check it, and with
// --signer its signer; counts each problem.
void CheckServedLauncher(const CheckOptions& options, const char* exeUrl, const char* document, int* problems,
                         FILE* out, FILE* err)
{
    LauncherRelease named;
    char url[kUrlBytes];
    char path[kUrlBytes] = "";
    char report[kReportBytes] = "";
    char signedBy[kUrlBytes] = "";
    CoreFacts facts = {};
    int file = -1;
    void* mapping = nullptr;
    const int before = *problems;
    ReadLauncherRelease(document, &named);
    if (named.version[0] == '\0') {
        return;
    }
    snprintf(url, sizeof(url), "%.*s%s", static_cast<int>(strlen(exeUrl) - strlen(kExecutableName)), exeUrl,
             kLauncherName);
    if (!FetchExecutable(url, options, path, &file, &mapping, &facts, 1, nullptr, err)) {
        ++*problems;
    } else {
        *problems += ListLauncherDisagreements(document, facts, report, sizeof(report));
        fputs(report, err);
        if (options.signerCount > 0) {
            CheckSigner(options, file, facts, signedBy, problems, err);
        }
    }
    if (*problems == before) {
        fprintf(out, "%s serves launcher version %s, %llu bytes, sha256 %s%s: consistent\n", options.url,
                named.version, static_cast<unsigned long long>(facts.size), facts.sha256, signedBy);
    }
    if (mapping != nullptr) {
        munmap(mapping, facts.size);
    }
    if (file >= 0) {
        close(file);
        unlink(path);
    }
}

// What the host promises beyond the release itself, each on a line of out:
// how long a cache may keep the document (a warning on err when a cache may
// serve it without asking), and whether a cut download resumes, asked for the
// executable's last byte as the launcher asks for a rest.
void ReportHostPolicy(const char* exeUrl, const CheckOptions& options, const AnswerHeaders& document,
                      const AnswerHeaders& executable, uint64_t size, FILE* out, FILE* err)
{
    char text[kUrlBytes];
    char validator[kValidatorBytes];
    char error[kUrlBytes + 256];
    std::vector<unsigned char> rest;
    AnswerHeaders answer = {};
    long status = 0;
    const bool revalidated = DescribeDocumentCaching(document.cacheControl[0] != '\0' ? document.cacheControl : nullptr,
                                                     document.expires[0] != '\0' ? document.expires : nullptr, text,
                                                     sizeof(text));
    fprintf(out, "the document: %s\n", text);
    if (!revalidated) {
        fprintf(err, "warning: the document %s; a new executable can then meet the old document, which refuses it "
                "until the cache lets go\n", text);
    }
    const bool strong = ExecutableValidator(executable.etag[0] != '\0' ? executable.etag : nullptr,
                                            executable.lastModified[0] != '\0' ? executable.lastModified : nullptr,
                                            validator);
    if (strong && size > 0 &&
        !HttpsGetRest(exeUrl, options.caFile, size - 1, validator, 1 << 16, &rest, &status, &answer, error,
                      sizeof(error))) {
        fprintf(out, "a cut download resumes: unknown (%s)\n", error);
        return;
    }
    DescribeResume(strong ? validator : "", status, answer.contentRange[0] != '\0' ? answer.contentRange : nullptr,
                   answer.etag[0] != '\0' ? answer.etag : nullptr,
                   answer.lastModified[0] != '\0' ? answer.lastModified : nullptr, size - 1, size, text, sizeof(text));
    fprintf(out, "a cut download resumes: %s\n", text);
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
    char signedBy[kUrlBytes] = "";
    CoreFacts facts = {};
    AnswerHeaders documentHeaders = {};
    AnswerHeaders exeHeaders = {};
    long status = 0;
    int problems = 0;
    int coreFile = -1;
    void* coreMapping = nullptr;
    bool fetched = false;
    bool ok = false;

    if (!ReleaseUrls(options, documentUrl, exeUrl, err)) {
        return false;
    }
    fetched = HttpsGet(documentUrl, options.caFile, kDocumentFetchLimit, &documentBody, &status, error, sizeof(error),
                       &documentHeaders);
    if (!Answered(documentUrl, fetched, status, error, err) ||
        !FetchExecutable(exeUrl, options, corePath, &coreFile, &coreMapping, &facts, 0, &exeHeaders, err) ||
        !KeepDocument(documentUrl, documentBody, document, &problems, err)) {
        goto cleanup;
    }
    problems += ListDisagreements(document, facts, report, sizeof(report));
    fputs(report, err);
    if (options.signerCount > 0) {
        CheckSigner(options, coreFile, facts, signedBy, &problems, err);
    }
    CheckServedLauncher(options, exeUrl, document, &problems, out, err);
    if (problems > 0) {
        fprintf(err, "%s does not serve a consistent release (%d problem%s)\n", options.url, problems,
                problems == 1 ? "" : "s");
        goto cleanup;
    }
    FormatFileVersion(facts.version, version, sizeof(version));
    fprintf(out, "%s serves version %s, %llu bytes, sha256 %s%s: consistent\n", options.url, version,
            static_cast<unsigned long long>(facts.size), facts.sha256, signedBy);
    ReportHostPolicy(exeUrl, options, documentHeaders, exeHeaders, facts.size, out, err);
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
