// Starting the installed core executable at the end of a successful run.
#pragma once

#include <windows.h>

#include <cstddef>

// Working directory for the core: path cut at its last backslash (the
// backslash dropped); a path without one is copied whole. units >= 1.
void CoreWorkingDirectory(const wchar_t* corePath, wchar_t* directory, size_t units);

// Starts g_corePath without arguments in its own folder; falls back to an
// elevated start through the shell, and shows an error box owned by owner when
// both fail. Does not wait for the core.
void LaunchCore(HWND owner);

// Closes g_coreHandle, the core held open since its signature check, once the
// start has returned; does nothing when no core is held.
void CloseHeldCore();
