// The installed core's file version, read from its version resource.
#pragma once

#include "update/version_text.h"

// Fills version from the fixed file information of the file at path. Returns
// false with version->present false when the file or its resource is missing.
bool ReadInstalledVersion(const wchar_t* path, FileVersionQuad* version);
