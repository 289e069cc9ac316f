// The floor of the core's version: the highest core that a run verified as
// signed by its publisher, kept beside the folder's record where only elevated
// code can write, so that it outlasts every install folder. A pinned launcher
// installs nothing older.
#pragma once

#include "update/version_text.h"

// The floor: the higher of the build's own (kBuiltCoreFloor) and the recorded
// one; not present when there is neither.
FileVersionQuad CoreFloor();

// Raises the recorded floor to version when that is higher; true when it rose.
bool RaiseCoreFloor(const FileVersionQuad& version);
