// The installed core held by the run, its checks and the hand-over to the window.
#include "update/installed_core.h"

#include "common/folder_files.h"
#include "common/held_core.h"
#include "common/run_log.h"
#include "shell/launcher_state.h"
#include "transfer/file_signature.h"
#include "update/core_checks.h"
#include "update/core_floor.h"
#include "update/core_signers.h"
#include "update/installed_version.h"

namespace {

HANDLE s_core = INVALID_HANDLE_VALUE;
CoreChecks s_checks;

// Opens the installed core in the held folder: from now on it can be neither
// changed, replaced, moved nor removed (read sharing only), and the window's
// start is of this file.
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

}  // namespace

void HoldCoreForChecks()
{
    s_core = OpenCore();
    StartCoreChecks(s_core, g_corePath, kCoreSignerPinCount > 0, &s_checks);
    if (s_checks.fromRecord) {
        RunLog("installed core: unchanged since a run checked it; its digest%s taken from that check",
               s_checks.signerFromRecord ? " and signature" : "");
    }
}

void DropCoreUnlessSigned()
{
    if (kCoreSignerPinCount > 0 && s_core != INVALID_HANDLE_VALUE && !CoreSigned(&s_checks)) {
        RunLog("installed core: not signed by a pinned publisher");
        LetGoOfCore();
    }
}

UpdateAction DecideOnHeldCore(const ReleaseInfo& release, FileVersionQuad* installed)
{
    char version[24];
    UpdateEvidence evidence = EvidenceNone;
    const UpdateAction action = DecideUpdate(s_core, release, &s_checks, &evidence, installed);
    if (s_core == INVALID_HANDLE_VALUE) {
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
    if (evidence == EvidenceDigestMatches && RecordCoreChecks(s_core, &s_checks)) {
        RunLog("installed core: its check recorded for later runs");
    }
    return action;
}

void StopCoreChecks()
{
    EndCoreChecks(&s_checks);
}

bool HoldCore()
{
    if (s_core != INVALID_HANDLE_VALUE) {
        return true;
    }
    HANDLE core = OpenCore();
    if (core == INVALID_HANDLE_VALUE) {
        return false;
    }
    if (kCoreSignerPinCount > 0 && !RecordedSignerPinned(core) &&
        !FileSignedByPinnedKey(core, g_corePath, kCoreSignerPins, kCoreSignerPinCount)) {
        RunLog("installed core: not signed by a pinned publisher");
        CloseHandle(core);
        return false;
    }
    s_core = core;
    return true;
}

bool HeldCoreIs(const BY_HANDLE_FILE_INFORMATION& file)
{
    BY_HANDLE_FILE_INFORMATION held = {};
    return s_core != INVALID_HANDLE_VALUE && GetFileInformationByHandle(s_core, &held) &&
           held.dwVolumeSerialNumber == file.dwVolumeSerialNumber && held.nFileIndexHigh == file.nFileIndexHigh &&
           held.nFileIndexLow == file.nFileIndexLow;
}

void RaiseFloorToHeldCore()
{
    FileVersionQuad version = {};
    char text[24];
    if (kCoreSignerPinCount > 0 && ReadInstalledVersion(s_core, &version) && RaiseCoreFloor(version)) {
        FormatFileVersion(version, text, sizeof(text));
        RunLog("core floor: raised to %s", text);
    }
}

void HandOverCore()
{
    EndCoreChecks(&s_checks);
    g_coreHandle = s_core;
    s_core = INVALID_HANDLE_VALUE;
}

void LetGoOfCore()
{
    EndCoreChecks(&s_checks);
    if (s_core != INVALID_HANDLE_VALUE) {
        CloseHandle(s_core);
        s_core = INVALID_HANDLE_VALUE;
    }
}
