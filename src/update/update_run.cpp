// The update run on the worker thread: lays out the install folder, installs
// the launcher, checks the published release, downloads, verifies and replaces
// the core when needed. Every step says how the run ends; one place posts the
// one WM_LAUNCHER_DONE.
#include "update/update_run.h"

#include <knownfolders.h>
#include <shlobj.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "common/folder_files.h"
#include "common/held_core.h"
#include "common/path_text.h"
#include "common/run_log.h"
#include "common/window_post.h"
#include "shell/launcher_state.h"
#include "transfer/file_digest.h"
#include "transfer/file_signature.h"
#include "transfer/http_client.h"
#include "transfer/update_contract.h"
#include "update/core_floor.h"
#include "update/core_record.h"
#include "update/core_signers.h"
#include "update/folder_holder.h"
#include "update/folder_record.h"
#include "update/install_folder.h"
#include "update/installed_version.h"
#include "update/release_info.h"
#include "update/self_install.h"
#include "update/update_decision.h"
#include "update_host.h"

namespace {

constexpr size_t kVersionLabelUnits = 64;

constexpr wchar_t kVerifyingText[] = L"Verifying SHA-256 integrity...";
constexpr wchar_t kLaunchingText[] = L"Launching Tovrin Tools...";
constexpr wchar_t kDownloadError[] =
    L"Download failed. Please check your internet connection or antivirus and try again.";
constexpr wchar_t kDigestError[] = L"SHA-256 verification failed! Please try downloading again.";
constexpr wchar_t kReplaceError[] = L"Cannot replace TovrinTools_core.exe (close running Tovrin Tools and retry).";
constexpr wchar_t kUnsignedDownloadError[] =
    L"The downloaded Tovrin Tools core is not signed by its publisher and was not installed.";
constexpr wchar_t kLinkedFolderError[] = L"The Tovrin Tools folder %ls is a link to another place and was not used. "
                                         L"Remove it and start Tovrin Tools again.";
constexpr wchar_t kForeignFolderError[] = L"The Tovrin Tools folder %ls was not made by Tovrin Tools and could not be "
                                          L"set aside. Close Tovrin Tools and start it again.";
constexpr wchar_t kFolderInUseByError[] =
    L"The Tovrin Tools folder %ls is in use by %.120ls. Close it and start Tovrin Tools again.";
constexpr wchar_t kFolderInUseError[] =
    L"The Tovrin Tools folder %ls is in use by another program. Close it and start Tovrin Tools again.";
constexpr wchar_t kFolderName[] = L"TovrinTools";
constexpr wchar_t kDownloadName[] = L"TovrinTools_core.exe.tmp";

// The installed core's digest and signature, checked beside the metadata
// request; nothing is checked until the core is held.
CoreChecks s_coreChecks = {{nullptr, INVALID_HANDLE_VALUE, false}, {nullptr, INVALID_HANDLE_VALUE, false}, nullptr,
                           {0}, false, false, "", {0}};

// The metadata request, made beside the self-installation.
struct MetadataFetch {
    HANDLE thread;
    bool ok;
    HttpOutcome outcome;
    char document[kMetaCapacity];
};
MetadataFetch s_fetch;

// How the run ends: the start of the held core, after the launching text or
// quietly (a fallback), or a box with its text (empty: the window's own).
struct RunEnd {
    bool start;
    bool announce;
    wchar_t box[kErrorTextUnits];
};

RunEnd StartEnd(bool announce)
{
    RunEnd end = {};
    end.start = true;
    end.announce = announce;
    return end;
}

RunEnd BoxEnd(const wchar_t* text)
{
    RunEnd end = {};
    wcsncpy(end.box, text, kErrorTextUnits - 1);
    return end;
}

// Opens the installed core in the held folder for g_coreHandle: from now on it
// can be neither changed, replaced, moved nor removed (read sharing only), and
// the window's start is of this file.
HANDLE OpenCore()
{
    // Changing its owner and DACL is no access that a start's open conflicts with.
    HANDLE core = OpenFolderFile(kCoreName, GENERIC_READ | WRITE_DAC | WRITE_OWNER, FILE_SHARE_READ, OPEN_EXISTING);
    if (core != INVALID_HANDLE_VALUE) {
        // A failed repair leaves the core as protected as before: held, nobody
        // can change it during this run.
        ProtectFolderFile(core);
    }
    return core;
}

// With signer pins, a held core whose signature its checks refused counts as
// not installed: it is let go, and the published build replaces it.
void DropCoreUnlessSigned()
{
    if (kCoreSignerPinCount > 0 && g_coreHandle != INVALID_HANDLE_VALUE && !CoreSigned(&s_coreChecks)) {
        RunLog("installed core: not signed by a pinned publisher");
        EndCoreChecks(&s_coreChecks);
        CloseHeldCore();
    }
}

// Holds the installed core for the window's start, checked (with signer pins:
// that its publisher signed it, or a record of that still holds) unless it is
// held already. Once held, it stays held.
bool HoldCore()
{
    if (g_coreHandle != INVALID_HANDLE_VALUE) {
        return true;
    }
    HANDLE core = OpenCore();
    if (core == INVALID_HANDLE_VALUE) {
        return false;
    }
    if (kCoreSignerPinCount > 0 && !CoreSignerRecalled(core) &&
        !FileSignedByPinnedKey(core, g_corePath, kCoreSignerPins, kCoreSignerPinCount)) {
        RunLog("installed core: not signed by a pinned publisher");
        CloseHandle(core);
        return false;
    }
    g_coreHandle = core;
    return true;
}

bool CoreInstalled()
{
    // Any file system object of that name counts: the start will tell whether it runs.
    return GetFileAttributesW(g_corePath) != INVALID_FILE_ATTRIBUTES;
}

// The user's local application data folder where the profile has it: its
// default path, never where the user's own registry redirects it (an elevated
// launcher must not be sent to a folder of somebody's choosing). The temporary
// folder named by the user's environment is no substitute.
bool ResolveBaseFolder(wchar_t* base)
{
    wchar_t* path = nullptr;
    const bool ok = SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_DEFAULT_PATH | KF_FLAG_NO_ALIAS,
                                                   nullptr, &path)) &&
                    wcslen(path) < kPathUnits;
    if (ok) {
        wcscpy(base, path);
    }
    CoTaskMemFree(path);
    return ok;
}

// Removes the temporary files of launchers killed part-way. One still in use
// by a running launcher is open without delete sharing and stays.
void RemoveStaleTemporaryFiles()
{
    wchar_t pattern[kPathUnits];
    WIN32_FIND_DATAW found;
    if (!JoinPath(g_installFolderPath, L"*.tmp", pattern, kPathUnits)) {
        return;
    }
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        if (!IsStaleTemporaryName(found.cFileName)) {
            continue;
        }
        HANDLE file = OpenFolderFile(found.cFileName, DELETE, 0, OPEN_EXISTING);
        if (file != INVALID_HANDLE_VALUE) {
            DeleteOpenFile(file);
            CloseHandle(file);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

// How the run came by its install folder, when it was not simply the recorded one.
void LogFolderTaken(const FolderTaken& taken)
{
    char aside[kPathUnits * 3];
    if (taken.setAside[0] != L'\0') {
        const char* why = taken.setAsideFile ? "a file was found there in place of the folder"
                          : taken.setAsideLink ? "a link was found there in place of the folder"
                          : taken.setAsideMatch == FolderMatchChanged
                              ? "the folder found there is the recorded one, but its owner or rights are not as this "
                                "launcher left them"
                          : taken.setAsideMatch == FolderMatchOlderForm
                              ? "the folder found there was recorded by an earlier launcher by its ID alone and is not "
                                "owned by Administrators with rights of its own"
                              : "the folder found there was not made by this launcher";
        RunLog("install folder: %s; set aside as %s", why, LogUtf8(taken.setAside, aside, sizeof(aside)));
    }
    if (taken.upgraded) {
        RunLog("install folder: recorded by an earlier launcher by its ID alone, owned by Administrators with rights "
               "of its own: kept%s", taken.recorded ? ", its owner and rights now recorded too" : "");
    }
    if (taken.made) {
        RunLog("install folder: made%s", taken.recorded ? " and recorded" : ", but could not be recorded");
    }
    if (RecordKeyDistrusted()) {
        RunLog("records: HKLM\\SOFTWARE\\TovrinTools let others than administrators write; its records were not "
               "trusted%s", taken.recorded ? ", and it was made anew" : "");
    }
}

void BuildVersionLabel(const char* version, wchar_t* label)
{
    wcscpy(label, L"latest");
    MultiByteToWideChar(CP_UTF8, 0, version, -1, label, static_cast<int>(kVersionLabelUnits));
}

// The route both requests take, decided at the first.
void LogProxyDecision()
{
    ProxyDecision decision;
    wchar_t text[kProxyTextUnits * 2];
    char line[kProxyTextUnits * 6];
    if (HttpProxyDecision(&decision)) {
        FormatProxyDecision(&decision, text, kProxyTextUnits * 2);
        RunLog("%s", LogUtf8(text, line, sizeof(line)));
    }
}

// One line for a request: its HTTP status and bytes, or the error that ended
// it; whether a proxy that asked for the user's logon got it; and the user's
// own root that alone would have made the host trusted.
void LogRequest(const char* what, bool ok, const HttpOutcome& outcome)
{
    char root[kCertificateNameUnits * 3];
    if (outcome.userRoot[0] != L'\0') {
        RunLog("%s: the host's certificate is trusted only through the user's own root \"%s\"; only the machine's "
               "roots count", what, LogUtf8(outcome.userRoot, root, sizeof(root)));
    }
    if (outcome.logon == ProxyLogonAnswered) {
        RunLog("%s: the proxy asked for the user's Windows logon and got it: the user's settings name it", what);
    } else if (outcome.logon == ProxyLogonWithheld) {
        RunLog("%s: the proxy asked for the user's Windows logon and did not get it: automatic detection found it, "
               "which anyone on the network can answer", what);
    }
    RunLog("%s %s: HTTP status %lu, %llu bytes, error %lu", what, ok ? "succeeded" : "failed",
           static_cast<unsigned long>(outcome.status), static_cast<unsigned long long>(outcome.bytes),
           static_cast<unsigned long>(outcome.error));
}

DWORD WINAPI FetchThread(LPVOID)
{
    s_fetch.ok = HttpFetchToBuffer(kMetaPath, s_fetch.document, kMetaCapacity, &s_fetch.outcome);
    return 0;
}

// Starts the metadata request; one whose thread cannot be started is made at once.
void StartFetch()
{
    s_fetch.thread = CreateThread(nullptr, 0, FetchThread, nullptr, 0, nullptr);
    if (s_fetch.thread == nullptr) {
        FetchThread(nullptr);
    }
}

bool WaitForFetch()
{
    if (s_fetch.thread != nullptr) {
        WaitForSingleObject(s_fetch.thread, INFINITE);
        CloseHandle(s_fetch.thread);
        s_fetch.thread = nullptr;
    }
    return s_fetch.ok;
}

// The download of the core, with its time and throughput in the log.
bool DownloadLogged(HANDLE download, uint64_t size, const wchar_t* label)
{
    HttpOutcome outcome = {};
    const ULONGLONG started = GetTickCount64();
    const bool ok = HttpDownloadToFile(kExePath, download, size, label, &outcome);
    const ULONGLONG elapsed = GetTickCount64() - started;
    LogRequest("download", ok, outcome);
    RunLog("download: %llu bytes in %llu ms (%llu KiB/s)%s", static_cast<unsigned long long>(outcome.bytes),
           static_cast<unsigned long long>(elapsed),
           static_cast<unsigned long long>(outcome.bytes * 1000 / 1024 / (elapsed > 0 ? elapsed : 1)),
           g_cancelRequested.load() != 0 ? ", cancelled by the user" : "");
    return ok;
}

// The published release as read, the installed core and what was decided;
// installed receives the held core's version (not present without one).
UpdateAction DecideLogged(const ReleaseInfo& release, FileVersionQuad* installed)
{
    char version[24];
    UpdateEvidence evidence = EvidenceNone;
    const UpdateAction action = DecideUpdate(g_coreHandle, release, &s_coreChecks, &evidence, installed);
    if (g_coreHandle == INVALID_HANDLE_VALUE) {
        RunLog("installed core: none that can be used");
    } else if (installed->present) {
        FormatFileVersion(*installed, version, sizeof(version));
        RunLog("installed core: version %s", version);
    } else {
        RunLog("installed core: no version resource");
    }
    RunLog("published core: version \"%s\", size %llu, sha256 \"%s\"", release.version,
           static_cast<unsigned long long>(release.size), release.sha256);
    RunLog("decision: %s", evidence == EvidenceInstalledNewer  ? "keep the installed core, newer than the published one"
                           : evidence == EvidenceDigestMatches ? "keep the installed core, the published build itself"
                                                               : "download the published core");
    // What was checked of a core kept as the published build spares the next run reading it.
    if (evidence == EvidenceDigestMatches && RecordCoreChecks(g_coreHandle, &s_coreChecks)) {
        RunLog("installed core: its check recorded for later runs");
    }
    return action;
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

// The fallback of a request that failed or a download that was refused: a
// core that is already there is still worth starting; without one, the box.
RunEnd FallBack(const wchar_t* box)
{
    if (!CoreInstalled()) {
        return BoxEnd(box);
    }
    RunLog("falling back to the installed core");
    return StartEnd(false);
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
                *end = BoxEnd(kDigestError);
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
        *end = BoxEnd(kUnsignedDownloadError);
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
    EndCoreChecks(&s_coreChecks);
    CloseHeldCore();
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
// same file as the download (moved) that was checked, and closes the
// download's handle: no start can open a file that is open for writing. The
// checks of the download are recorded for it first, so they are not made again.
RunEnd StartMovedCore(HANDLE download, const char* digest, const uint8_t* signer)
{
    BY_HANDLE_FILE_INFORMATION moved = {};
    BY_HANDLE_FILE_INFORMATION held = {};
    const bool known = GetFileInformationByHandle(download, &moved) != FALSE;
    if (digest[0] != '\0' && RecordCore(download, digest, signer)) {
        RunLog("installed core: the download's check recorded for later runs");
    }
    CloseHandle(download);
    if (!known || !HoldCore() || !GetFileInformationByHandle(g_coreHandle, &held) ||
        held.dwVolumeSerialNumber != moved.dwVolumeSerialNumber || held.nFileIndexHigh != moved.nFileIndexHigh ||
        held.nFileIndexLow != moved.nFileIndexLow) {
        RunLog("installed core: not the file that was checked, not started");
        CloseHeldCore();
        return BoxEnd(kCoreSignerPinCount > 0 ? kUnsignedCoreError : kReplaceError);
    }
    return StartEnd(true);
}

// Download, verification and replacement of the core. The download file is
// removed on every way that does not move it over the core.
RunEnd UpdateCore(ReleaseInfo release, const FileVersionQuad& installed)
{
    wchar_t label[kVersionLabelUnits];
    char digest[kSha256HexBytes];
    uint8_t signer[kSha256Bytes] = {};
    RunEnd end = {};
    BuildVersionLabel(release.version, label);

    // Read sharing only: nobody else can change, move or remove the file that
    // is written, checked and moved here.
    HANDLE download =
        OpenFolderFile(kDownloadName, GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, OPEN_ALWAYS);
    if (download == INVALID_HANDLE_VALUE) {
        RunLog("download file: cannot be opened in the install folder (error %lu)", GetLastError());
        return FallBack(kDownloadError);
    }
    if (!DownloadLogged(download, release.size, label)) {
        // Cancelled or failed.
        end = FallBack(kDownloadError);
    } else {
        PostStatus(kVerifyingText, 100);
        if (DownloadAccepted(download, &release, installed, digest, signer, &end)) {
            if (MoveDownloadOverCore(download)) {
                return StartMovedCore(download, digest, signer);
            }
            end = BoxEnd(kReplaceError);
        }
    }
    DeleteOpenFile(download);
    CloseHandle(download);
    return end;
}

// The whole run, up to how it ends.
RunEnd RunUpdate()
{
    wchar_t base[kPathUnits] = L"";
    wchar_t spelledFolder[kPathUnits] = L"";
    wchar_t checkingText[kErrorTextUnits];
    wchar_t box[kErrorTextUnits];
    ReleaseInfo release;
    FolderTaken taken = {};

    const bool haveBase = ResolveBaseFolder(base);
    // A path cut short would point somewhere else entirely: never use one.
    if (haveBase && !JoinPath(base, kFolderName, spelledFolder, kPathUnits)) {
        return BoxEnd(L"");
    }
    const FolderHold hold = haveBase ? TakeInstallFolder(base, kFolderName, &taken) : FolderUnusable;
    if (hold == FolderLinked || hold == FolderForeign) {
        swprintf(box, kErrorTextUnits, hold == FolderLinked ? kLinkedFolderError : kForeignFolderError, spelledFolder);
        return BoxEnd(box);
    }
    if (hold == FolderInUse) {
        // The log lives in that folder: this run has none to write to.
        wchar_t holder[kHolderNameUnits];
        if (FolderHolderName(spelledFolder, holder, kHolderNameUnits)) {
            swprintf(box, kErrorTextUnits, kFolderInUseByError, spelledFolder, holder);
        } else {
            swprintf(box, kErrorTextUnits, kFolderInUseError, spelledFolder);
        }
        return BoxEnd(box);
    }
    // A folder that cannot be held (no rights, a volume that keeps none) has
    // nothing that can be opened in it: every step that needs it fails as it
    // would have, and nothing is installed or pointed at.
    const wchar_t* installFolder = hold == FolderHeld ? g_installFolderPath : spelledFolder;
    if (haveBase && !JoinPath(installFolder, kCoreName, g_corePath, kPathUnits)) {
        return BoxEnd(L"");
    }
    if (hold == FolderHeld) {
        OpenRunLog();
        char folder[kPathUnits * 3];
        char host[kPathUnits];
        RunLog("run started; update host %s:%u; install folder %s", LogUtf8(kUpdateHost, host, sizeof(host)),
               static_cast<unsigned>(kUpdatePort), LogUtf8(g_installFolderPath, folder, sizeof(folder)));
        LogFolderTaken(taken);
        RemoveStaleTemporaryFiles();
    }
    // Held from here to its start, unless a download replaces it. Its digest
    // and signature are checked beside the request and the self-installation.
    g_coreHandle = OpenCore();
    StartCoreChecks(g_coreHandle, g_corePath, kCoreSignerPinCount > 0, &s_coreChecks);
    if (s_coreChecks.recalled) {
        RunLog("installed core: unchanged since a run checked it; its digest%s taken from that check",
               s_coreChecks.signerRecalled ? " and signature" : "");
    }

    swprintf(checkingText, kErrorTextUnits, L"Checking latest version on %ls...", kUpdateHost);
    PostStatus(checkingText, 5);
    StartFetch();
    if (hold == FolderHeld) {
        InstallLauncherAndShortcut(g_installFolderPath);
    }

    const bool haveDocument = WaitForFetch();
    LogProxyDecision();
    LogRequest("metadata request", haveDocument, s_fetch.outcome);
    DropCoreUnlessSigned();
    if (!haveDocument) {
        swprintf(box, kErrorTextUnits,
                 L"Cannot connect to update server (%ls).\nCheck your internet connection and try again.",
                 kUpdateHost);
        return FallBack(box);
    }

    ReadReleaseInfo(s_fetch.document, &release);
    // Decided on the held core, which nobody can change meanwhile. A core that
    // could not be held (with pins: one its publisher did not sign) counts as
    // not installed: the published build replaces it.
    FileVersionQuad installed = {};
    if (DecideLogged(release, &installed) == LaunchInstalled) {
        return StartEnd(true);
    }
    // Decided: what is left of the core's checks would only slow the download.
    EndCoreChecks(&s_coreChecks);
    return UpdateCore(release, installed);
}

// With pins, the held core is its publisher's: no core older than it is
// installed again, whatever folder a later run finds.
void RaiseFloorToHeldCore()
{
    FileVersionQuad version = {};
    char text[24];
    if (kCoreSignerPinCount > 0 && ReadInstalledVersion(g_coreHandle, &version) && RaiseCoreFloor(version)) {
        FormatFileVersion(version, text, sizeof(text));
        RunLog("core floor: raised to %s", text);
    }
}

// The one finish of a run, and the one message the window must get: a run
// whose finish was refused would leave the window open forever with nothing
// started. A core to start must be held (and, with pins, signed by its
// publisher), and nothing of its checks may still read it when the window
// starts it.
void FinishRun(const RunEnd& end)
{
    WPARAM code = DoneFail;
    EndCoreChecks(&s_coreChecks);
    if (!end.start) {
        wcsncpy(g_errorText, end.box, kErrorTextUnits - 1);
        g_errorText[kErrorTextUnits - 1] = L'\0';
    } else if (!HoldCore()) {
        // Not signed by its publisher, or (without pins) not openable as the
        // folder's own file, which the launch error reports.
        if (kCoreSignerPinCount > 0) {
            wcscpy(g_errorText, kUnsignedCoreError);
        } else {
            swprintf(g_errorText, kErrorTextUnits, kLaunchErrorFormat, static_cast<unsigned long>(GetLastError()));
        }
    } else {
        RaiseFloorToHeldCore();
        if (end.announce) {
            PostStatus(kLaunchingText, 100);
        }
        code = DoneLaunch;
    }
    PostUntilAccepted(g_hwndMain, WM_LAUNCHER_DONE, code, 0, PostMessageW);
}

}  // namespace

void PostStatus(const wchar_t* text, int percent)
{
    if (g_hwndMain != nullptr) {
        PostStatusText(g_hwndMain, text);
    }
    if (g_hwndMain != nullptr) {
        PostMessageW(g_hwndMain, WM_LAUNCHER_PROGRESS, static_cast<WPARAM>(percent), 0);
    }
}

DWORD WINAPI UpdateWorkerProc(LPVOID)
{
    FinishRun(RunUpdate());
    return 0;
}
