// Which program holds a file or folder open, as the Restart Manager tells it:
// for a box that asks the user to close it.
#pragma once

#include <cstddef>

// Room for a program's name as the Restart Manager gives it (CCH_RM_MAX_APP_NAME + 1).
constexpr size_t kHolderNameUnits = 256;

// Copies the name of a program that holds path open (its window title or
// description, as the Restart Manager knows it) into name (units), cut to fit.
// False when it cannot tell.
bool FolderHolderName(const wchar_t* path, wchar_t* name, size_t units);
