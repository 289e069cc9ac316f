// Whether the installed core can start unchanged or the published build must
// be downloaded: first the file versions, then the SHA-256 digests.
#pragma once

#include "update/release_info.h"

enum UpdateAction { LaunchInstalled, Download };

// The evidence that settled a decision: a strictly newer installed version
// (no digest computed), a matching digest, or neither.
enum UpdateEvidence { EvidenceInstalledNewer, EvidenceDigestMatches, EvidenceNone };

// corePath is the installed core (g_corePath). When evidence is not null it
// receives what settled the result.
UpdateAction DecideUpdate(const wchar_t* corePath, const ReleaseInfo& release, UpdateEvidence* evidence = nullptr);
