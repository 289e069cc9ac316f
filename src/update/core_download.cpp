// Download, verification and replacement of the core, all through the download
// file's one handle, which nobody else can write, move or remove meanwhile.
#include "update/core_download.h"

#include <cstring>
#include <cwchar>

#include "common/folder_files.h"
#include "common/held_core.h"
#include "common/path_text.h"
#include "common/run_log.h"
#include "transfer/download_resume.h"
#include "transfer/file_digest.h"
#include "transfer/file_signature.h"
#include "transfer/http_client.h"
#include "transfer/update_contract.h"
#include "update/core_floor.h"
#include "update/core_record.h"
#include "update/core_signers.h"
#include "update/installed_core.h"
#include "update/installed_version.h"
#include "update/partial_download.h"
#include "update/run_report.h"
#include "update/update_run.h"

namespace {

constexpr size_t kVersionLabelUnits = 64;

constexpr wchar_t kVerifyingText[] = L"Verifying SHA-256 integrity...";
constexpr wchar_t kDownloadError[] =
    L"Download failed. Please check your internet connection or antivirus and try again.";
constexpr wchar_t kDigestError[] = L"SHA-256 verification failed! Please try downloading again.";
constexpr wchar_t kReplaceError[] = L"Cannot replace TovrinTools_core.exe (close running Tovrin Tools and retry).";
constexpr wchar_t kUnsignedDownloadError[] =
    L"The downloaded Tovrin Tools core is not signed by its publisher and was not installed.";
constexpr wchar_t kDownloadName[] = L"TovrinTools_core.exe.tmp";

void BuildVersionLabel(const char* version, wchar_t* label)
{
    wcscpy(label, L"latest");
    MultiByteToWideChar(CP_UTF8, 0, version, -1, label, static_cast<int>(kVersionLabelUnits));
}

// A download the install folder's volume cannot hold would fail only at its
// end, at a write: it is not begun. A free space that cannot be read stops
// nothing, as before.
bool RoomForDownload(uint64_t size, uint64_t have)
{
    ULARGE_INTEGER available = {};
    if (!GetDiskFreeSpaceExW(g_installFolderPath, &available, nullptr, nullptr)) {
        RunLog("free space of the install folder's volume: unknown (error %lu)", GetLastError());
        return true;
    }
    const uint64_t missing = MissingRoom(available.QuadPart, size, have);
    if (missing == 0) {
        return true;
    }
    RunLog("download: %llu bytes to come, %llu free on the install folder's volume: %llu bytes of room missing, "
           "not begun", static_cast<unsigned long long>(size - have),
           static_cast<unsigned long long>(available.QuadPart), static_cast<unsigned long long>(missing));
    return false;
}

// The download of the core, with its time and throughput in the log, and
// where a resumed one went on.
bool DownloadLogged(HANDLE download, uint64_t size, const wchar_t* label, DownloadRange* range)
{
    HttpOutcome outcome = {};
    const uint64_t from = range->from;
    const ULONGLONG started = GetTickCount64();
    const bool ok = HttpDownloadToFile(kExePath, download, size, label, range, &outcome);
    const ULONGLONG elapsed = GetTickCount64() - started;
    LogRequest("download", ok, outcome);
    if (from > 0 && range->from == from) {
        RunLog("download: resumed from byte %llu, %llu bytes fetched", static_cast<unsigned long long>(from),
               static_cast<unsigned long long>(outcome.bytes));
    } else if (from > 0 && outcome.status == 200) {
        RunLog("download: the host sent the whole file, not the rest from byte %llu",
               static_cast<unsigned long long>(from));
    }
    RunLog("download: %llu bytes in %llu ms (%llu KiB/s)%s", static_cast<unsigned long long>(outcome.bytes),
           static_cast<unsigned long long>(elapsed),
           static_cast<unsigned long long>(outcome.bytes * 1000 / 1024 / (elapsed > 0 ? elapsed : 1)),
           g_cancelRequested.load() != 0 ? ", cancelled by the user" : "");
    return ok;
}

// The download of release into download, resumed when range asks for a rest;
// when the host has not kept what the partial download is part of, it is
// discarded and the whole file downloaded. Not begun without room for it.
bool DownloadCore(HANDLE download, const ReleaseInfo& release, const wchar_t* label, DownloadRange* range)
{
    if (!RoomForDownload(release.size, range->from)) {
        return false;
    }
    const uint64_t from = range->from;
    if (DownloadLogged(download, release.size, label, range)) {
        return true;
    }
    if (!range->refused) {
        return false;
    }
    RunLog("partial download: %llu bytes discarded, the host did not send their rest",
           static_cast<unsigned long long>(from));
    memset(range, 0, sizeof(*range));
    return DownloadLogged(download, release.size, label, range);
}

// A download whose digest is not the one the document gave may be a release
// staged between the two requests (the executable is renamed into place before
// the document): the document is asked for once more, and when it now names the
// download's digest, the run goes on with it. Never a second download.
bool RestagedRelease(const char* digest, ReleaseInfo* release)
{
    char document[kMetaCapacity] = {};
    ReleaseInfo fresh;
    HttpOutcome outcome = {};
    const bool fetched = HttpFetchToBuffer(kMetaPath, document, kMetaCapacity, &outcome);
    LogRequest("metadata request again", fetched, outcome);
    if (!fetched) {
        return false;
    }
    ReadReleaseInfo(document, &fresh);
    // Asked again, a host must not talk the run down to an older release.
    if (CompareVersionTexts(fresh.version, release->version) < 0) {
        RunLog("published core now: version \"%s\", older than the \"%s\" named before: not taken", fresh.version,
               release->version);
        return false;
    }
    if (fresh.sha256[0] == '\0' || !DigestTextsEqual(digest, fresh.sha256)) {
        RunLog("published core now: version \"%s\", sha256 \"%s\": not the download either", fresh.version,
               fresh.sha256);
        return false;
    }
    RunLog("published core now: version \"%s\", size %llu, sha256 \"%s\": the download, staged meanwhile",
           fresh.version, static_cast<unsigned long long>(fresh.size), fresh.sha256);
    *release = fresh;
    return true;
}

// A download whose digest and signature passed is installed only as the
// version the document names, never over a newer installed core that its
// publisher signed and never below the floor, the highest core ever verified
// as the publisher's here: a host without the publisher's key could otherwise
// serve an old signed build, with a high version or with its own, into a
// folder made anew. With pins that refuses it; without pins the host is
// trusted anyway, and a mismatch is only logged.
bool DownloadVersionFits(HANDLE download, const ReleaseInfo& release, const FileVersionQuad& installed)
{
    FileVersionQuad own = {};
    char ownText[24];
    char installedText[24];
    char floorText[24];
    const FileVersionQuad floor = kCoreSignerPinCount > 0 ? CoreFloor() : FileVersionQuad{};
    ReadInstalledVersion(download, &own);
    const DownloadVersion verdict = JudgeDownloadVersion(own, ParseVersionText(release.version), installed, floor);
    FormatFileVersion(own, ownText, sizeof(ownText));
    FormatFileVersion(installed, installedText, sizeof(installedText));
    FormatFileVersion(floor, floorText, sizeof(floorText));
    if (verdict == DownloadVersionAccepted) {
        RunLog("version of the download: %s, as published", ownText);
        return true;
    }
    if (verdict == DownloadVersionBelowFloor) {
        RunLog("version of the download: %s, as published, below the floor %s (the highest core verified as its "
               "publisher's here): not installed", ownText, floorText);
        return false;
    }
    RunLog("version of the download: %s, published \"%s\", installed core %s: %s; %s", ownText, release.version,
           installedText,
           verdict == DownloadVersionOlder ? "older than the installed core" : "not the published version",
           kCoreSignerPinCount > 0 ? "not installed" : "installed all the same (no signer pins)");
    return kCoreSignerPinCount == 0;
}

// The checks of the download, all through its open handle: the published
// digest, with pins the publisher's signature, and its own version. False with
// end set when one refuses it; release becomes the document it matches, digest
// the download's (empty when none was published) and signer its signer's key
// (left as it was without pins).
bool DownloadAccepted(HANDLE download, ReleaseInfo* release, const FileVersionQuad& installed, char* digest,
                      uint8_t* signer, RunEnd* end)
{
    wchar_t downloadPath[kPathUnits];
    digest[0] = '\0';
    if (release->sha256[0] != '\0') {
        const bool computed = ComputeHandleSha256Hex(download, digest);
        if (!computed || !DigestTextsEqual(digest, release->sha256)) {
            RunLog("sha256 of the download: expected %s, computed %s", release->sha256,
                   computed ? digest : "none (read error)");
            if (!computed || !RestagedRelease(digest, release)) {
                *end = EndWithBox(kDigestError);
                return false;
            }
        }
        RunLog("sha256 of the download: %s, as published", digest);
    } else {
        RunLog("sha256 of the download: none published, accepted unchecked");
    }
    if (kCoreSignerPinCount > 0 &&
        (!JoinPath(g_installFolderPath, kDownloadName, downloadPath, kPathUnits) ||
         !FileSignedByPinnedKey(download, downloadPath, kCoreSignerPins, kCoreSignerPinCount, signer))) {
        RunLog("signature of the download: not signed by a pinned publisher");
        *end = EndWithBox(kUnsignedDownloadError);
        return false;
    }
    if (kCoreSignerPinCount > 0) {
        RunLog("signature of the download: signed by a pinned publisher");
    }
    if (!DownloadVersionFits(download, *release, installed)) {
        *end = FallBack(kDownloadError);
        return false;
    }
    return true;
}

// Moves the checked download over the core through its handle; a running core
// keeps its file locked, so it gets one more chance to let go.
bool MoveDownloadOverCore(HANDLE download)
{
    LetGoOfCore();
    for (int attempt = 1; attempt <= 2; ++attempt) {
        if (attempt == 2) {
            Sleep(900);
        }
        if (RenameOpenFile(download, kCoreName)) {
            RunLog("move over the core: attempt %d succeeded", attempt);
            return true;
        }
        RunLog("move over the core: attempt %d failed (error %lu)", attempt, GetLastError());
    }
    return false;
}

// Holds the core just moved into place for its start, after checking it is the
// same file as the download that was checked (moved; not known when its
// identity could not be read).
RunEnd StartMovedCore(bool known, const BY_HANDLE_FILE_INFORMATION& moved)
{
    if (!known || !HoldCore() || !HeldCoreIs(moved)) {
        RunLog("installed core: not the file that was checked, not started");
        LetGoOfCore();
        return EndWithBox(kCoreSignerPinCount > 0 ? kUnsignedCoreError : kReplaceError);
    }
    return EndByStarting(true);
}

}  // namespace

RunEnd UpdateCore(ReleaseInfo release, const FileVersionQuad& installed)
{
    wchar_t label[kVersionLabelUnits];
    char digest[kSha256HexBytes];
    uint8_t signer[kSha256Bytes] = {};
    BY_HANDLE_FILE_INFORMATION moved = {};
    bool known = false;
    bool inPlace = false;
    bool kept = false;
    DownloadRange range = {};
    RunEnd end = {};

    StopCoreChecks();
    BuildVersionLabel(release.version, label);
    // Read sharing only: nobody else can change, move or remove the file that
    // is written, checked and moved here.
    HANDLE download = TakePartialDownload(release, kDownloadName, &range);
    if (download == INVALID_HANDLE_VALUE) {
        download = OpenFolderFile(kDownloadName, GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, OPEN_ALWAYS);
    }
    if (download == INVALID_HANDLE_VALUE) {
        RunLog("download file: cannot be opened in the install folder (error %lu)", GetLastError());
        return FallBack(kDownloadError);
    }
    if (!DownloadCore(download, release, label, &range)) {
        // Cancelled or failed: what arrived of it is kept for the next run when
        // that run can ask for the rest.
        end = FallBack(kDownloadError);
        kept = KeepPartialDownload(download, release, range);
        goto cleanup;
    }
    PostStatus(kVerifyingText, 100);
    if (!DownloadAccepted(download, &release, installed, digest, signer, &end)) {
        goto cleanup;
    }
    inPlace = MoveDownloadOverCore(download);
    if (!inPlace) {
        end = EndWithBox(kReplaceError);
        goto cleanup;
    }
    known = GetFileInformationByHandle(download, &moved) != FALSE;
    // What was checked of the download spares the next run reading it again.
    if (digest[0] != '\0' && RecordCore(download, digest, signer)) {
        RunLog("installed core: the download's check recorded for later runs");
    }

cleanup:
    if (!inPlace && !kept) {
        DeleteOpenFile(download);
    }
    // No start can open a file that is open for writing.
    CloseHandle(download);
    return inPlace ? StartMovedCore(known, moved) : end;
}
