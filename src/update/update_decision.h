// Whether the installed core can start unchanged or the published build must
// be downloaded: first the file versions, then the SHA-256 digests.
#pragma once

#include <windows.h>

#include "update/release_info.h"

enum UpdateAction { LaunchInstalled, Download };

// The evidence that settled a decision: a strictly newer installed version
// (no digest computed), a matching digest, or neither.
enum UpdateEvidence { EvidenceInstalledNewer, EvidenceDigestMatches, EvidenceNone };

// core is the installed core, held open without write or delete sharing (or
// INVALID_HANDLE_VALUE when there is none), corePath its path (g_corePath): the
// version is read by that path, which names the held file while it is held,
// and the digest through the handle. When evidence is not null it receives
// what settled the result.
UpdateAction DecideUpdate(HANDLE core, const wchar_t* corePath, const ReleaseInfo& release,
                          UpdateEvidence* evidence = nullptr);
