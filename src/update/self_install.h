// Self-installation: the launcher's copy in the install folder and the desktop
// shortcut that points at it.
#pragma once

#include "update/version_text.h"

// The launcher's copy in the install folder, which the shortcut starts.
constexpr wchar_t kInstalledLauncherName[] = L"TovrinTools_Launcher.exe";

// Copies the running launcher into the held install folder (g_installFolder,
// whose path installFolder is; without one, nothing is copied) as
// "TovrinTools_Launcher.exe" (unless it already runs from there), replacing an
// earlier copy in one move or not at all, but never a newer one nor any once a
// newer launcher was installed (the launcher floor, raised to each launcher
// installed or started from its copy), and rewrites "Tovrin Tools.lnk" on
// the user's desktop to start that copy, or the running executable when the
// held folder has no copy. When the file at the launcher's own path is not the
// image that runs, neither the copy nor the shortcut is touched; a copy that is
// not that image once written is removed instead of installed. Every failure
// is silent and only skips what depends on it. running, when given, receives
// the running launcher's version (not present when its file was not its image).
void InstallLauncherAndShortcut(const wchar_t* installFolder, FileVersionQuad* running = nullptr);
