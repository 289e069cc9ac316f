// Whether the installed core can start unchanged or the published build must
// be downloaded: first the file versions, then the SHA-256 digests.
#pragma once

#include <windows.h>

#include "update/core_checks.h"
#include "update/release_info.h"
#include "update/version_text.h"

enum UpdateAction { LaunchInstalled, Download };

// The evidence that settled a decision: a strictly newer installed version
// (no digest computed), a matching digest, or neither.
enum UpdateEvidence { EvidenceInstalledNewer, EvidenceDigestMatches, EvidenceNone };

// core is the installed core, held open without write or delete sharing (or
// INVALID_HANDLE_VALUE when there is none); its version is read through that
// handle, and its digest is the one checks computes from it (StartCoreChecks),
// waited for only when the version test leaves the decision to it. When
// evidence is not null it receives what settled the result, and installed,
// when not null, the version read (not present without a core or a version
// resource).
UpdateAction DecideUpdate(HANDLE core, const ReleaseInfo& release, CoreChecks* checks,
                          UpdateEvidence* evidence = nullptr, FileVersionQuad* installed = nullptr);
