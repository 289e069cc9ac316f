// The update decision. The version test can only keep a strictly newer core;
// the digest test keeps a core that is byte for byte the published build.
#include "update/update_decision.h"

#include "transfer/digest_text.h"
#include "update/installed_version.h"
#include "update/version_text.h"

namespace {

UpdateAction Decided(UpdateAction action, UpdateEvidence reason, UpdateEvidence* evidence)
{
    if (evidence != nullptr) {
        *evidence = reason;
    }
    return action;
}

}  // namespace

UpdateAction DecideUpdate(HANDLE core, const ReleaseInfo& release, CoreChecks* checks, UpdateEvidence* evidence,
                          FileVersionQuad* installed)
{
    FileVersionQuad version;
    ReadInstalledVersion(core, &version);
    if (installed != nullptr) {
        *installed = version;
    }
    if (core == INVALID_HANDLE_VALUE) {
        return Decided(Download, EvidenceNone, evidence);
    }
    // A strictly newer core needs no digest: its check is simply not waited for.
    if (version.present && release.version[0] != '\0' &&
        InstalledIsNewer(version, ParseVersionText(release.version))) {
        return Decided(LaunchInstalled, EvidenceInstalledNewer, evidence);
    }

    char digest[kSha256HexBytes];
    if (release.sha256[0] != '\0' && CoreDigest(checks, digest) && DigestTextsEqual(digest, release.sha256)) {
        return Decided(LaunchInstalled, EvidenceDigestMatches, evidence);
    }
    return Decided(Download, EvidenceNone, evidence);
}
