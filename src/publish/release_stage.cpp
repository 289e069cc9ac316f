// Staging a release into a web root.
#include "publish/release_stage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "publish/core_signature.h"
#include "publish/file_bytes.h"
#include "publish/interrupt_cleanup.h"
#include "publish/release_document.h"
#include "publish/stage_lock.h"
#include "update/release_info.h"
#include "update/version_text.h"

namespace {

constexpr size_t kPathBytes = 4096;

constexpr int kExecutableSlot = 0;
constexpr int kDocumentSlot = 1;

// Creates path as a folder the web server can list and enter whatever the
// umask, or makes an existing one so.
bool MakeServedFolder(const char* path, char* error, size_t capacity)
{
    struct stat status;
    if (mkdir(path, 0755) != 0 && errno != EEXIST) {
        snprintf(error, capacity, "cannot create %s: %s", path, strerror(errno));
        return false;
    }
    if (stat(path, &status) != 0 || !S_ISDIR(status.st_mode)) {
        snprintf(error, capacity, "%s is not a folder", path);
        return false;
    }
    if ((status.st_mode & 0755) != 0755 && chmod(path, (status.st_mode & 07777) | 0755) != 0) {
        snprintf(error, capacity, "cannot make %s readable by the web server: %s", path, strerror(errno));
        return false;
    }
    return true;
}

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
    return MakeServedFolder(api, error, capacity) && MakeServedFolder(folder, error, capacity);
}

// The version the folder publishes now, read from its document as the
// launcher reads it. False when there is no document or it gives no version.
bool ReadPublishedVersion(const char* documentPath, PublishedVersion* published, char* text, size_t capacity)
{
    char document[kDocumentLimit + 1];
    ReleaseInfo release;
    const int file = open(documentPath, O_RDONLY | O_CLOEXEC);
    if (file < 0) {
        return false;
    }
    const ssize_t got = read(file, document, kDocumentLimit);
    close(file);
    if (got <= 0) {
        return false;
    }
    document[got] = '\0';
    ReadReleaseInfo(document, &release);
    if (release.version[0] == '\0') {
        return false;
    }
    *published = ParseVersionText(release.version);
    snprintf(text, capacity, "%s", release.version);
    return true;
}

// The launcher compares the four numbers in order, as signed 32-bit values.
bool GreaterThanPublished(const PeFileVersion& core, const PublishedVersion& published)
{
    for (int i = 0; i < 4; ++i) {
        if (static_cast<int32_t>(core.parts[i]) != published.parts[i]) {
            return static_cast<int32_t>(core.parts[i]) > published.parts[i];
        }
    }
    return false;
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

bool StageRelease(const char* corePath, const char* root, const StageOptions& options, char* message,
                  size_t capacity)
{
    std::vector<unsigned char> core;
    CoreFacts facts;
    StageLocks locks = {-1, -1};
    PublishedVersion published;
    char document[kDocumentBytes];
    char report[kReportBytes] = "";
    char error[kStageMessageBytes] = "";
    char folder[kPathBytes];
    char exeTemporary[kPathBytes];
    char documentTemporary[kPathBytes];
    char exeFinal[kPathBytes];
    char documentFinal[kPathBytes];
    char version[24];
    char publishedText[64];
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
    if (options.signerCount > 0 &&
        !CheckCoreSigner(corePath, options.signers, options.signerCount, error, sizeof(error))) {
        snprintf(message, capacity, "refused: %s %s", corePath, error);
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
    FormatPeFileVersion(facts.version, version, sizeof(version));
    snprintf(exeFinal, sizeof(exeFinal), "%s/%s", folder, kExecutableName);
    snprintf(documentFinal, sizeof(documentFinal), "%s/%s", folder, kDocumentName);
    // Unique names, so a file left by a run that was killed never blocks this one.
    snprintf(exeTemporary, sizeof(exeTemporary), "%s/.%s.XXXXXX%s", folder, kExecutableName, kTemporarySuffix);
    snprintf(documentTemporary, sizeof(documentTemporary), "%s/.%s.XXXXXX%s", folder, kDocumentName,
             kTemporarySuffix);

    if (!OpenStageLocks(folder, &locks, error, sizeof(error))) {
        snprintf(message, capacity, "%s", error);
        goto cleanup;
    }
    // Both files are complete on disk before either is renamed, so the only
    // step left after the executable is in place is one rename in one folder.
    exeWritten = WriteTemporaryFile(exeTemporary, kExecutableSlot, core.data(), core.size(), error, sizeof(error));
    if (!exeWritten) {
        snprintf(message, capacity, "cannot write the executable: %s", error);
        goto cleanup;
    }
    documentWritten =
        WriteTemporaryFile(documentTemporary, kDocumentSlot, document, strlen(document), error, sizeof(error));
    if (!documentWritten) {
        snprintf(message, capacity, "cannot write the document: %s", error);
        goto cleanup;
    }
    // From here to the last rename no other stage of this folder runs, so the
    // version compared is the one replaced and the pair stays together.
    if (!TakeCommitLock(folder, &locks, options.notes, error, sizeof(error))) {
        snprintf(message, capacity, "%s", error);
        goto cleanup;
    }
    if (!options.allowSameOrOlder &&
        ReadPublishedVersion(documentFinal, &published, publishedText, sizeof(publishedText)) &&
        !GreaterThanPublished(facts.version, published)) {
        snprintf(message, capacity,
                 "refused: %s has version %s, not greater than version %s that %s publishes; launchers keep an "
                 "installed core that is newer than the published one, so clients would not take it, and a core "
                 "published with a higher version stays installed past every later release (--allow-same-or-older "
                 "publishes it anyway)",
                 corePath, version, publishedText, folder);
        goto cleanup;
    }
    if (!NewerThanCurrent(exeTemporary, exeFinal, error, sizeof(error))) {
        snprintf(message, capacity, "cannot set the executable's time: %s", error);
        goto cleanup;
    }
    if (rename(exeTemporary, exeFinal) != 0) {
        snprintf(message, capacity, "cannot move the executable into place: %s: %s", exeFinal, strerror(errno));
        goto cleanup;
    }
    exeWritten = false;
    ForgetTemporary(kExecutableSlot);
    if (rename(documentTemporary, documentFinal) != 0) {
        snprintf(message, capacity,
                 "cannot move the document into place: %s: %s\n"
                 "the new executable is already in place: stage this core again before serving",
                 documentFinal, strerror(errno));
        goto cleanup;
    }
    documentWritten = false;
    ForgetTemporary(kDocumentSlot);
    if (!SyncFolder(folder, error, sizeof(error))) {
        snprintf(message, capacity, "published, but the folder could not be flushed to disk: %s", error);
        goto cleanup;
    }
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
    EndTemporaries();
    RemoveStaleTemporaries(folder, &locks);
    CloseStageLocks(&locks);
    return ok;
}
