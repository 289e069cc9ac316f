// The installed core's file version, read from its version resource.
#pragma once

#include <windows.h>

#include "update/version_text.h"

// Fills version from the fixed file information of the file open as file (with
// read access), read from a view of that very file the way the release tool
// reads it. Returns false with version->present false when there is no file,
// it is no Windows program or it has no usable version resource.
bool ReadInstalledVersion(HANDLE file, FileVersionQuad* version);
