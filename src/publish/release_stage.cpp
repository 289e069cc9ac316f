// Staging a release into a web root.
#include "publish/release_stage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "publish/file_bytes.h"
#include "publish/release_document.h"

namespace {

constexpr size_t kPathBytes = 4096;

// Creates root/tovrin-tools-api/v1 as needed; root itself must already exist,
// so that a mistyped root is reported instead of created.
bool MakeReleaseFolder(const char* root, char* folder, char* error, size_t capacity)
{
    struct stat status;
    char api[kPathBytes];
    if (stat(root, &status) != 0 || !S_ISDIR(status.st_mode)) {
        snprintf(error, capacity, "%s is not a folder", root);
        return false;
    }
    snprintf(api, sizeof(api), "%s/tovrin-tools-api", root);
    snprintf(folder, kPathBytes, "%s/%s", root, kReleaseFolder);
    if ((mkdir(api, 0755) != 0 && errno != EEXIST) || (mkdir(folder, 0755) != 0 && errno != EEXIST)) {
        snprintf(error, capacity, "cannot create %s: %s", folder, strerror(errno));
        return false;
    }
    if (stat(folder, &status) != 0 || !S_ISDIR(status.st_mode)) {
        snprintf(error, capacity, "%s is not a folder", folder);
        return false;
    }
    return true;
}

// nginx derives the executable's ETag and Last-Modified from its size and
// modification second. Another build of the same size, staged within the same
// second as the one it replaces, would look unchanged to a revalidating cache,
// which would then keep serving the old executable next to the new document.
bool NewerThanCurrent(const char* temporary, const char* current, char* error, size_t capacity)
{
    struct stat fresh;
    struct stat previous;
    if (stat(current, &previous) != 0) {
        return true;
    }
    if (stat(temporary, &fresh) != 0) {
        snprintf(error, capacity, "%s: %s", temporary, strerror(errno));
        return false;
    }
    if (fresh.st_mtim.tv_sec > previous.st_mtim.tv_sec) {
        return true;
    }
    const struct timespec times[2] = {{0, UTIME_OMIT}, {previous.st_mtim.tv_sec + 1, 0}};
    if (utimensat(AT_FDCWD, temporary, times, 0) != 0) {
        snprintf(error, capacity, "%s: %s", temporary, strerror(errno));
        return false;
    }
    return true;
}

}  // namespace

bool StageRelease(const char* corePath, const char* root, char* message, size_t capacity)
{
    std::vector<unsigned char> core;
    CoreFacts facts;
    char document[kDocumentBytes];
    char report[kReportBytes] = "";
    char error[kStageMessageBytes] = "";
    char folder[kPathBytes];
    char exeTemporary[kPathBytes];
    char documentTemporary[kPathBytes];
    char exeFinal[kPathBytes];
    char documentFinal[kPathBytes];
    char version[24];
    bool exeWritten = false;
    bool documentWritten = false;
    bool ok = false;

    if (!ReadWholeFile(corePath, &core, error, sizeof(error))) {
        snprintf(message, capacity, "cannot read %s: %s", corePath, error);
        return false;
    }
    ExamineCore(core.data(), core.size(), &facts);
    if (!facts.hasVersion) {
        snprintf(message, capacity, "refused: %s %s", corePath, facts.versionProblem);
        return false;
    }
    if (facts.size <= kCoreSizeFloor) {
        snprintf(message, capacity, "refused: %s has %llu bytes; the launcher rejects a core of 1,000,000 bytes or fewer",
                 corePath, static_cast<unsigned long long>(facts.size));
        return false;
    }
    // The document is read back with the launcher's scanner before anything is
    // written, so what is published is what the launcher will see.
    if (!FormatReleaseDocument(facts, document, sizeof(document)) ||
        ListDisagreements(document, facts, report, sizeof(report)) != 0) {
        snprintf(message, capacity, "refused: the document for %s would not read back:\n%s", corePath, report);
        return false;
    }
    if (!MakeReleaseFolder(root, folder, error, sizeof(error))) {
        snprintf(message, capacity, "%s", error);
        return false;
    }

    snprintf(exeTemporary, sizeof(exeTemporary), "%s/.%s.%ld.tmp", folder, kExecutableName, static_cast<long>(getpid()));
    snprintf(documentTemporary, sizeof(documentTemporary), "%s/.%s.%ld.tmp", folder, kDocumentName,
             static_cast<long>(getpid()));
    snprintf(exeFinal, sizeof(exeFinal), "%s/%s", folder, kExecutableName);
    snprintf(documentFinal, sizeof(documentFinal), "%s/%s", folder, kDocumentName);

    // Both files are complete on disk before either is renamed, so the only
    // step left after the executable is in place is one rename in one folder.
    exeWritten = WriteNewFile(exeTemporary, core.data(), core.size(), error, sizeof(error));
    if (!exeWritten) {
        snprintf(message, capacity, "cannot write the executable: %s", error);
        goto cleanup;
    }
    if (!NewerThanCurrent(exeTemporary, exeFinal, error, sizeof(error))) {
        snprintf(message, capacity, "cannot set the executable's time: %s", error);
        goto cleanup;
    }
    documentWritten = WriteNewFile(documentTemporary, document, strlen(document), error, sizeof(error));
    if (!documentWritten) {
        snprintf(message, capacity, "cannot write the document: %s", error);
        goto cleanup;
    }
    if (rename(exeTemporary, exeFinal) != 0) {
        snprintf(message, capacity, "cannot move the executable into place: %s: %s", exeFinal, strerror(errno));
        goto cleanup;
    }
    exeWritten = false;
    if (rename(documentTemporary, documentFinal) != 0) {
        snprintf(message, capacity,
                 "cannot move the document into place: %s: %s\n"
                 "the new executable is already in place: stage this core again before serving",
                 documentFinal, strerror(errno));
        goto cleanup;
    }
    documentWritten = false;
    if (!SyncFolder(folder, error, sizeof(error))) {
        snprintf(message, capacity, "published, but the folder could not be flushed to disk: %s", error);
        goto cleanup;
    }
    FormatPeFileVersion(facts.version, version, sizeof(version));
    snprintf(message, capacity, "published %s version %s, %llu bytes, sha256 %s\n  %s\n  %s", corePath, version,
             static_cast<unsigned long long>(facts.size), facts.sha256, exeFinal, documentFinal);
    ok = true;

cleanup:
    if (documentWritten) {
        unlink(documentTemporary);
    }
    if (exeWritten) {
        unlink(exeTemporary);
    }
    return ok;
}
