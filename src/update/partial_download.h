// A cut download kept in the held install folder for a later run to go on
// with: its bytes under a name of their own, beside a note of what they are part of.
#pragma once

#include <windows.h>

#include "transfer/http_client.h"
#include "update/release_info.h"

// Removes a kept partial download (and its note) that is not part of release:
// a run that downloads nothing must not keep the bytes of another release.
void RemovePartialOfAnotherRelease(const ReleaseInfo& release);

// The kept partial download of release, moved to downloadName and returned open
// (read, write and delete access, read sharing) with range asking for its rest.
// A partial that is not part of release is removed, its note always (a cut
// download writes it again), and INVALID_HANDLE_VALUE comes back with range
// asking for the whole file.
HANDLE TakePartialDownload(const ReleaseInfo& release, const wchar_t* downloadName, DownloadRange* range);

// Keeps download, a cut download of release, as its partial download: the note
// first, then the file moved to its own name. False when there is nothing worth
// keeping (no strong validator, no bytes, all of them) or a step failed; the
// download is then the caller's to remove.
bool KeepPartialDownload(HANDLE download, const ReleaseInfo& release, const DownloadRange& range);
