// Starting the installed core executable at the end of a successful run.
#pragma once

#include <windows.h>

#include <cstddef>

// Working directory for the core: path cut at its last backslash (the
// backslash dropped); a path without one is copied whole. units >= 1.
void CoreWorkingDirectory(const wchar_t* corePath, wchar_t* directory, size_t units);

// Starts the held core (g_coreHandle) by its final path, without arguments, in
// its own folder, once that path is the held install folder's core; falls back
// to an elevated start through the shell, and shows an error box owned by owner
// when both fail. A held core elsewhere (or none) is not started: the box says
// so (with signer pins, that it was not started; else the launch error).
// Does not wait for the core.
void LaunchCore(HWND owner);
