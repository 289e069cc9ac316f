// The launcher's own update: the published launcher installed over the copy
// in the install folder, which the shortcut starts.
#pragma once

#include "update/release_info.h"
#include "update/version_text.h"

// With signer pins, when release names a launcher newer than running (this
// launcher's version) and than the installed copy: downloads it into the held
// install folder, checks its published digest, its signature under the pins,
// that it is a launcher for this update host of the published version and not
// below the launcher floor, then moves it over the installed copy and raises
// the floor. Anything that fails leaves the installed copy as it was and is
// only logged; the download file is removed on every way that does not move it.
void UpdateLauncher(const LauncherRelease& release, const FileVersionQuad& running);
