// The published launcher downloaded into the held install folder, checked
// through its one handle and moved over the installed copy, after the core's
// own step; its failures are only logged.
#include "update/launcher_update.h"

#include <cwchar>

#include "common/folder_files.h"
#include "common/path_text.h"
#include "common/run_log.h"
#include "transfer/file_digest.h"
#include "transfer/file_signature.h"
#include "transfer/http_client.h"
#include "transfer/update_contract.h"
#include "update/core_floor.h"
#include "update/core_signers.h"
#include "update/file_view.h"
#include "update/installed_version.h"
#include "update/launcher_image.h"
#include "update/self_install.h"
#include "update_endpoint.h"

namespace {

// The installed copy's version read through a handle without write sharing;
// not present when there is none or it has no version.
FileVersionQuad InstalledCopyVersion()
{
    FileVersionQuad version = {};
    HANDLE copy =
        OpenFolderFile(kInstalledLauncherName, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING);
    if (copy != INVALID_HANDLE_VALUE) {
        ReadInstalledVersion(copy, &version);
        CloseHandle(copy);
    }
    return version;
}

// Whether the download is a launcher for this update host, of the published
// version and not below the launcher floor (a core its publisher also signed,
// announced as a launcher, would otherwise raise the floor past every launcher);
// own receives its version.
bool DownloadIsPublishedLauncher(HANDLE download, const PublishedVersion& published, FileVersionQuad* own)
{
    FileView view;
    char ownText[24];
    char floorText[24];
    if (!MapFileView(download, &view)) {
        return false;
    }
    const bool launcher = ImageNamesEndpoint(view.bytes, view.size, TOVRIN_UPDATE_ENDPOINT);
    UnmapFileView(&view);
    if (!launcher) {
        RunLog("launcher update: the download is no launcher for this update host; not installed");
        return false;
    }
    const FileVersionQuad floor = LauncherFloor();
    ReadInstalledVersion(download, own);
    if (JudgeDownloadVersion(*own, published, FileVersionQuad{}, floor) == DownloadVersionAccepted) {
        return true;
    }
    FormatFileVersion(*own, ownText, sizeof(ownText));
    FormatFileVersion(floor, floorText, sizeof(floorText));
    RunLog("launcher update: version of the download %s, not the published one or below the launcher floor %s; not "
           "installed",
           ownText, floorText);
    return false;
}

// The checks of the download, all through its handle: the published digest,
// the publisher's signature under the build's pins, and what it is.
bool LauncherDownloadAccepted(HANDLE download, const wchar_t* name, const LauncherRelease& release,
                              FileVersionQuad* own)
{
    char digest[kSha256HexBytes];
    wchar_t path[kPathUnits];
    uint8_t signer[kSha256Bytes] = {};
    if (!ComputeHandleSha256Hex(download, digest) || !DigestTextsEqual(digest, release.sha256)) {
        RunLog("launcher update: sha256 of the download not the published \"%s\"; not installed", release.sha256);
        return false;
    }
    if (!JoinPath(g_installFolderPath, name, path, kPathUnits) ||
        !FileSignedByPinnedKey(download, path, kCoreSignerPins, kCoreSignerPinCount, signer)) {
        RunLog("launcher update: the download is not signed by a pinned publisher; not installed");
        return false;
    }
    return DownloadIsPublishedLauncher(download, ParseVersionText(release.version), own);
}

// Moves the checked download over the installed copy. A running image cannot
// be replaced, but it can be renamed: when the copy is the running launcher it
// is first set aside under a stale temporary name, which a later run removes,
// and put back when the move fails.
bool MoveOverInstalledCopy(HANDLE download, const wchar_t* asideName)
{
    if (RenameOpenFile(download, kInstalledLauncherName)) {
        return true;
    }
    bool ok = false;
    HANDLE installed =
        OpenFolderFile(kInstalledLauncherName, DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING);
    if (installed == INVALID_HANDLE_VALUE) {
        return false;
    }
    if (RenameOpenFile(installed, asideName)) {
        ok = RenameOpenFile(download, kInstalledLauncherName);
        if (ok) {
            RunLog("launcher update: the installed copy, which could not be replaced while it runs, was set aside");
            DeleteOpenFile(installed);
        } else {
            RenameOpenFile(installed, kInstalledLauncherName);
        }
    }
    CloseHandle(installed);
    return ok;
}

}  // namespace

void UpdateLauncher(const LauncherRelease& release, const FileVersionQuad& running)
{
    wchar_t downloadName[32];
    wchar_t asideName[32];
    char runningText[24];
    char installedText[24];
    HttpOutcome outcome = {};
    DownloadRange whole = {};
    FileVersionQuad own = {};
    bool installed = false;

    if (release.version[0] == '\0') {
        return;
    }
    // Without pins the launcher cannot tell the publisher's launcher from anyone's.
    if (kCoreSignerPinCount == 0) {
        RunLog("launcher update: %s published; not installed by a launcher without signer pins", release.version);
        return;
    }
    const FileVersionQuad copy = InstalledCopyVersion();
    if (!LauncherUpdateWanted(running, copy, ParseVersionText(release.version))) {
        return;
    }
    FormatFileVersion(running, runningText, sizeof(runningText));
    FormatFileVersion(copy, installedText, sizeof(installedText));
    RunLog("launcher update: %s published, this launcher %s, installed copy %s: downloading", release.version,
           runningText, installedText);
    // Names of this process that the stale temporary files' rule covers, no
    // longer than the installed copy's; the aside name is the other's with a 0.
    swprintf(downloadName, 32, L"Launcher-%lu.tmp", static_cast<unsigned long>(GetCurrentProcessId()));
    swprintf(asideName, 32, L"Launcher-%lu0.tmp", static_cast<unsigned long>(GetCurrentProcessId()));
    HANDLE download = OpenFolderFile(downloadName, GENERIC_READ | GENERIC_WRITE | DELETE | WRITE_DAC | WRITE_OWNER,
                                     FILE_SHARE_READ, CREATE_ALWAYS);
    if (download == INVALID_HANDLE_VALUE) {
        RunLog("launcher update: download file cannot be opened in the install folder (error %lu)", GetLastError());
        return;
    }
    if (!HttpDownloadToFile(kLauncherPath, download, release.size, nullptr, &whole, &outcome, kMinimumLauncherBytes)) {
        RunLog("launcher update: download failed (error %lu, HTTP status %lu, %llu bytes); not installed",
               static_cast<unsigned long>(outcome.error), static_cast<unsigned long>(outcome.status),
               static_cast<unsigned long long>(outcome.bytes));
        goto cleanup;
    }
    if (!LauncherDownloadAccepted(download, downloadName, release, &own) || !ProtectFolderFile(download)) {
        goto cleanup;
    }
    installed = MoveOverInstalledCopy(download, asideName);
    if (!installed) {
        RunLog("launcher update: cannot move the download over the installed copy (error %lu); not installed",
               GetLastError());
        goto cleanup;
    }
    FormatFileVersion(own, runningText, sizeof(runningText));
    RunLog("launcher update: %s installed as TovrinTools_Launcher.exe, signed by a pinned publisher", runningText);
    if (RaiseLauncherFloor(own)) {
        RunLog("launcher floor: raised to %s", runningText);
    }

cleanup:
    if (!installed) {
        DeleteOpenFile(download);
    }
    CloseHandle(download);
}
