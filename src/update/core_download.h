// The published core downloaded into the held install folder, checked and
// moved over the installed core.
#pragma once

#include "update/release_info.h"
#include "update/run_end.h"
#include "update/version_text.h"

// Downloads release into the download file, checks its digest, with signer
// pins its publisher's signature, and its version against the document, the
// installed core (installed) and the floor, moves it over the core and holds
// the moved core for its start. A partial download of release kept by an
// earlier run is resumed. The download file is removed on every way that does
// not move it over the core, or kept as the partial download when it was cut.
RunEnd UpdateCore(ReleaseInfo release, const FileVersionQuad& installed);
