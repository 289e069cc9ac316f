// Staging a release into a web root.
#include "publish/release_stage.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "publish/authenticode.h"
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

// Creates root/tovrin-tools-api/v1 as needed, and root itself when its parent
// exists; a root whose parent is missing is more likely mistyped than new, so
// it is reported instead of created.
bool MakeReleaseFolder(const char* root, char* folder, char* error, size_t capacity)
{
    struct stat status;
    char api[kPathBytes];
    if (stat(root, &status) != 0 && errno == ENOENT) {
        if (mkdir(root, 0755) != 0 && errno == ENOENT) {
            snprintf(error, capacity, "cannot create %s: the folder it would be in does not exist", root);
            return false;
        }
        if (!MakeServedFolder(root, error, capacity)) {
            return false;
        }
    }
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

// The facts of the temporary executable: its digest streamed, its version read
// through a mapping (the version resource can lie anywhere in the file), so a
// core of any size is examined in bounded memory.
bool ExamineTemporary(int file, uint64_t size, void** mapping, CoreFacts* facts, char* error, size_t capacity)
{
    char sha256[kSha256HexBytes];
    if (!FileSha256Hex(file, size, sha256)) {
        snprintf(error, capacity, "cannot read it back: %s", strerror(errno));
        return false;
    }
    if (size > 0) {
        *mapping = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, file, 0);
        if (*mapping == MAP_FAILED) {
            *mapping = nullptr;
            snprintf(error, capacity, "cannot map it: %s", strerror(errno));
            return false;
        }
    }
    ExamineCoreWithDigest(static_cast<const unsigned char*>(*mapping), size, sha256, facts);
    return true;
}

// What a stage holds between preparing and committing: the core it reads, the
// checked copy and the document written beside the release, and the locks.
struct PreparedStage {
    int source;
    int exe;
    void* mapping;
    uint64_t size;
    StageLocks locks;
    CoreFacts facts;
    bool exeWritten;  // a temporary file to remove unless it was renamed into place
    bool documentWritten;
    char folder[kPathBytes];
    char exeTemporary[kPathBytes];
    char documentTemporary[kPathBytes];
    char exeFinal[kPathBytes];
    char documentFinal[kPathBytes];
    char version[24];
    char signedBy[kStageMessageBytes];
};

// The names of the release's files in its folder, final and temporary.
void NameReleaseFiles(PreparedStage* stage)
{
    snprintf(stage->exeFinal, sizeof(stage->exeFinal), "%s/%s", stage->folder, kExecutableName);
    snprintf(stage->documentFinal, sizeof(stage->documentFinal), "%s/%s", stage->folder, kDocumentName);
    // Unique names, so a file left by a run that was killed never blocks this one.
    snprintf(stage->exeTemporary, sizeof(stage->exeTemporary), "%s/.%s.XXXXXX%s", stage->folder, kExecutableName,
             kTemporarySuffix);
    snprintf(stage->documentTemporary, sizeof(stage->documentTemporary), "%s/.%s.XXXXXX%s", stage->folder,
             kDocumentName, kTemporarySuffix);
}

// Refuses a copy the launcher would not run or that is not signed as asked.
bool CheckCopy(const char* corePath, const StageOptions& options, PreparedStage* stage, char* message,
               size_t capacity)
{
    SignerFacts signer = {};
    char error[kStageMessageBytes] = "";
    if (!stage->facts.hasVersion) {
        snprintf(message, capacity, "refused: %s %s", corePath, stage->facts.versionProblem);
        return false;
    }
    if (stage->facts.size <= kMinimumCoreBytes) {
        snprintf(message, capacity, "refused: %s has %llu bytes; the launcher rejects a core of 1,000,000 bytes or fewer",
                 corePath, static_cast<unsigned long long>(stage->facts.size));
        return false;
    }
    if (options.signerCount == 0) {
        return true;
    }
    const SignerRules rules = {options.signers, options.signerCount, options.signerCaFile, options.tsaCaFile};
    if (!CheckCoreSigner(stage->exe, stage->size, rules, &signer, error, sizeof(error))) {
        snprintf(message, capacity, "refused: %s %s", corePath, error);
        return false;
    }
    if (!signer.timestamped && !options.allowNoTimestamp) {
        snprintf(message, capacity,
                 "refused: %s has no trusted time stamp (%s): on Windows its signature stops verifying when the "
                 "signing certificate expires on %s, and from then on every pinned launcher refuses the core; "
                 "sign it with a time stamp (osslsigncode -ts URL) or stage it anyway with --allow-no-timestamp",
                 corePath, signer.timestamp, signer.expiry);
        return false;
    }
    snprintf(stage->signedBy, sizeof(stage->signedBy), "\n  signed by %s; %s; %s", signer.subject, signer.chain,
             signer.timestamp);
    return true;
}

// The core opened, and the release folder made, named and locked for this
// stage.
bool OpenStage(const char* corePath, const char* root, PreparedStage* stage, char* message, size_t capacity)
{
    struct stat status;
    char error[kStageMessageBytes] = "";
    stage->source = open(corePath, O_RDONLY | O_CLOEXEC);
    if (stage->source < 0) {
        snprintf(message, capacity, "cannot read %s: %s", corePath, strerror(errno));
        return false;
    }
    if (fstat(stage->source, &status) != 0 || !S_ISREG(status.st_mode)) {
        snprintf(message, capacity, "cannot read %s: not a regular file", corePath);
        return false;
    }
    stage->size = static_cast<uint64_t>(status.st_size);
    if (!MakeReleaseFolder(root, stage->folder, error, sizeof(error))) {
        snprintf(message, capacity, "%s", error);
        stage->folder[0] = '\0';
        return false;
    }
    NameReleaseFiles(stage);
    if (!OpenStageLocks(stage->folder, &stage->locks, error, sizeof(error))) {
        snprintf(message, capacity, "%s", error);
        return false;
    }
    return true;
}

// The document for the checked copy, written under its temporary name. It is
// read back with the launcher's scanner before anything is written, so what is
// published is what the launcher will see.
bool WriteDocument(const char* corePath, PreparedStage* stage, char* message, size_t capacity)
{
    char document[kDocumentBytes];
    char report[kReportBytes] = "";
    char error[kStageMessageBytes] = "";
    if (!FormatReleaseDocument(stage->facts, document, sizeof(document)) ||
        ListDisagreements(document, stage->facts, report, sizeof(report)) != 0) {
        snprintf(message, capacity, "refused: the document for %s would not read back:\n%s", corePath, report);
        return false;
    }
    FormatFileVersion(stage->facts.version, stage->version, sizeof(stage->version));
    stage->documentWritten = WriteTemporaryFile(stage->documentTemporary, kDocumentSlot, document, strlen(document),
                                                error, sizeof(error));
    if (!stage->documentWritten) {
        snprintf(message, capacity, "cannot write the document: %s", error);
        return false;
    }
    return true;
}

// Everything short of publishing: the core copied into the release folder and
// checked there, and the document written beside it, both under temporary
// names. What it took is released by EndStage, whatever the outcome.
bool PrepareStage(const char* corePath, const char* root, const StageOptions& options, PreparedStage* stage,
                  char* message, size_t capacity)
{
    char error[kStageMessageBytes] = "";
    if (!OpenStage(corePath, root, stage, message, capacity)) {
        return false;
    }
    // The core is copied first and only the copy is checked: a core changed
    // while it is staged can never be published as checked.
    stage->exe = CopyToTemporary(stage->source, stage->size, stage->exeTemporary, kExecutableSlot, error,
                                 sizeof(error));
    stage->exeWritten = stage->exe >= 0;
    if (!stage->exeWritten) {
        snprintf(message, capacity, "cannot copy %s into %s: %s", corePath, stage->folder, error);
        return false;
    }
    if (!ExamineTemporary(stage->exe, stage->size, &stage->mapping, &stage->facts, error, sizeof(error))) {
        snprintf(message, capacity, "cannot check the copy %s of %s: %s", stage->exeTemporary, corePath, error);
        return false;
    }
    // Both files are complete on disk before either is renamed, so the only
    // step left after the executable is in place is one rename in one folder.
    return CheckCopy(corePath, options, stage, message, capacity) && WriteDocument(corePath, stage, message, capacity);
}

// Refuses a core whose version is not above the published one, unless asked
// to publish it anyway.
bool AbovePublished(const char* corePath, const StageOptions& options, const PreparedStage& stage, char* message,
                    size_t capacity)
{
    PublishedVersion published;
    char publishedText[64];
    if (!options.allowSameOrOlder &&
        ReadPublishedVersion(stage.documentFinal, &published, publishedText, sizeof(publishedText)) &&
        CompareFileVersion(stage.facts.version, published) <= 0) {
        snprintf(message, capacity,
                 "refused: %s has version %s, not greater than version %s that %s publishes; launchers keep an "
                 "installed core that is newer than the published one, so clients would not take it, and a core "
                 "published with a higher version stays installed past every later release (--allow-same-or-older "
                 "publishes it anyway)",
                 corePath, stage.version, publishedText, stage.folder);
        return false;
    }
    return true;
}

// Renames the executable and then the document into place and flushes the
// folder; the caller holds the interrupts.
bool RenameIntoPlace(PreparedStage* stage, char* message, size_t capacity)
{
    char error[kStageMessageBytes] = "";
    if (rename(stage->exeTemporary, stage->exeFinal) != 0) {
        snprintf(message, capacity, "cannot move the executable into place: %s: %s", stage->exeFinal,
                 strerror(errno));
        return false;
    }
    stage->exeWritten = false;
    ForgetTemporary(kExecutableSlot);
    if (rename(stage->documentTemporary, stage->documentFinal) != 0) {
        snprintf(message, capacity,
                 "cannot move the document into place: %s: %s\n"
                 "the new executable is already in place: stage this core again before serving",
                 stage->documentFinal, strerror(errno));
        return false;
    }
    stage->documentWritten = false;
    ForgetTemporary(kDocumentSlot);
    if (!SyncFolder(stage->folder, error, sizeof(error))) {
        snprintf(message, capacity, "published, but the folder could not be flushed to disk: %s", error);
        return false;
    }
    return true;
}

// Publishes a prepared stage: under the commit lock, compares its version with
// the one published now and renames both files into place, the document last.
bool CommitStage(const char* corePath, const StageOptions& options, PreparedStage* stage, char* message,
                 size_t capacity)
{
    sigset_t interrupts;
    char error[kStageMessageBytes] = "";
    // From here to the last rename no other stage of this folder runs, so the
    // version compared is the one replaced and the pair stays together.
    if (!TakeCommitLock(stage->folder, &stage->locks, options.notes, error, sizeof(error))) {
        snprintf(message, capacity, "%s", error);
        return false;
    }
    if (!AbovePublished(corePath, options, *stage, message, capacity)) {
        return false;
    }
    if (!NewerThanCurrent(stage->exeTemporary, stage->exeFinal, error, sizeof(error))) {
        snprintf(message, capacity, "cannot set the executable's time: %s", error);
        return false;
    }
    // A signal between the renames would publish the new executable with the
    // old document, which every launcher then refuses: it waits until both
    // are done.
    HoldInterrupts(&interrupts);
    const bool ok = RenameIntoPlace(stage, message, capacity);
    ReleaseInterrupts(&interrupts);
    if (ok) {
        snprintf(message, capacity, "published %s version %s, %llu bytes, sha256 %s\n  %s\n  %s%s", corePath,
                 stage->version, static_cast<unsigned long long>(stage->facts.size), stage->facts.sha256,
                 stage->exeFinal, stage->documentFinal, stage->signedBy);
    }
    return ok;
}

// Releases what PrepareStage took and removes the files it did not publish.
void EndStage(PreparedStage* stage)
{
    if (stage->mapping != nullptr) {
        munmap(stage->mapping, stage->size);
    }
    if (stage->exe >= 0) {
        close(stage->exe);
    }
    if (stage->documentWritten) {
        unlink(stage->documentTemporary);
    }
    if (stage->exeWritten) {
        unlink(stage->exeTemporary);
    }
    EndTemporaries();
    if (stage->folder[0] != '\0') {
        RemoveStaleTemporaries(stage->folder, &stage->locks);
    }
    CloseStageLocks(&stage->locks);
    if (stage->source >= 0) {
        close(stage->source);
    }
}

}  // namespace

bool StageRelease(const char* corePath, const char* root, const StageOptions& options, char* message,
                  size_t capacity)
{
    PreparedStage stage = {};
    stage.source = -1;
    stage.exe = -1;
    stage.locks = {-1, -1};
    const bool ok = PrepareStage(corePath, root, options, &stage, message, capacity) &&
                    CommitStage(corePath, options, &stage, message, capacity);
    EndStage(&stage);
    return ok;
}
