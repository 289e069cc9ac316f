// Checking a served release against what the launcher relies on.
#include "publish/release_check.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "publish/https_fetch.h"
#include "publish/release_document.h"
#include "publish/release_stage.h"

namespace {

constexpr size_t kUrlBytes = 2048;
// Far above any document the launcher could read; keeps a wrong URL from
// filling memory.
constexpr uint64_t kDocumentFetchLimit = 1 << 20;
constexpr uint64_t kExecutableFetchLimit = 1ull << 32;

bool Fetch(const char* url, const char* caFile, uint64_t limit, std::vector<unsigned char>* body, FILE* err)
{
    char error[kUrlBytes + 256];
    long status = 0;
    if (!HttpsGet(url, caFile, limit, body, &status, error, sizeof(error))) {
        fprintf(err, "cannot fetch %s\n", error);
        return false;
    }
    if (status != 200) {
        fprintf(err, "%s answered HTTP status %ld; the launcher needs 200\n", url, status);
        return false;
    }
    return true;
}

}  // namespace

bool CheckRelease(const char* baseUrl, const char* caFile, FILE* out, FILE* err)
{
    std::vector<unsigned char> documentBody;
    std::vector<unsigned char> core;
    char documentUrl[kUrlBytes];
    char exeUrl[kUrlBytes];
    char document[kDocumentLimit + 1];
    char report[kReportBytes] = "";
    char version[24] = "";
    CoreFacts facts;
    size_t baseLength = strlen(baseUrl);
    size_t kept = 0;
    int problems = 0;

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

    if (!Fetch(documentUrl, caFile, kDocumentFetchLimit, &documentBody, err) ||
        !Fetch(exeUrl, caFile, kExecutableFetchLimit, &core, err)) {
        return false;
    }
    if (documentBody.empty()) {
        fprintf(err, "%s is empty; the launcher treats the host as unavailable\n", documentUrl);
        return false;
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

    ExamineCore(core.data(), core.size(), &facts);
    problems += ListDisagreements(document, facts, report, sizeof(report));
    if (problems > 0) {
        fputs(report, err);
        fprintf(err, "%s does not serve a consistent release (%d problem%s)\n", baseUrl, problems,
                problems == 1 ? "" : "s");
        return false;
    }
    FormatPeFileVersion(facts.version, version, sizeof(version));
    fprintf(out, "%s serves version %s, %llu bytes, sha256 %s: consistent\n", baseUrl, version,
            static_cast<unsigned long long>(facts.size), facts.sha256);
    return true;
}
