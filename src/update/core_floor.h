// The floors of the core's and the launcher's versions: the highest core that a
// run verified as signed by its publisher and the highest launcher installed,
// kept beside the folder's record where only elevated code can write, so that
// they outlast every install folder. Nothing older is installed.
#pragma once

#include "update/version_text.h"

// The floor: the higher of the build's own (kBuiltCoreFloor) and the recorded
// one; not present when there is neither.
FileVersionQuad CoreFloor();

// Raises the recorded floor to version when that is higher; true when it rose.
bool RaiseCoreFloor(const FileVersionQuad& version);

// The highest launcher version ever installed into an install folder; not
// present when none was recorded.
FileVersionQuad LauncherFloor();

// Raises the recorded launcher floor to version when that is higher; true when it rose.
bool RaiseLauncherFloor(const FileVersionQuad& version);
