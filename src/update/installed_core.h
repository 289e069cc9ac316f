// The installed core as a run holds it: opened in the held install folder and
// held without write sharing from before its checks until the finish hands it
// to the window, or let go of on this thread.
#pragma once

#include <windows.h>

#include "update/release_info.h"
#include "update/update_decision.h"
#include "update/version_text.h"

// Holds the installed core, if there is one, and starts its checks (its
// digest and, with signer pins, its signature) beside whatever the run does next.
void HoldCoreForChecks();

// With signer pins, a held core whose signature its checks refused counts as
// not installed: it is let go, and the published build replaces it.
void DropCoreUnlessSigned();

// The update decision on the held core, logged with the published release;
// installed receives the held core's version (not present without one).
UpdateAction DecideOnHeldCore(const ReleaseInfo& release, FileVersionQuad* installed);

// Stops what is left of the core's checks: once decided, they would only slow the download.
void StopCoreChecks();

// Holds the installed core for the start, checked (with signer pins: that its
// publisher signed it, or a record of that still holds) unless it is held
// already; false when there is none to hold.
bool HoldCore();

// Whether the held core is the file that file describes (the same volume and ID).
bool HeldCoreIs(const BY_HANDLE_FILE_INFORMATION& file);

// With signer pins, raises the floor of the core's version to the held core's:
// it is its publisher's, so no older core is installed again.
void RaiseFloorToHeldCore();

// Hands the held core to the window with the finish (g_coreHandle), its checks
// ended, so that nothing of them reads it when it starts; the window closes it.
void HandOverCore();

// Ends the core's checks and closes the held core: the one place where this
// thread lets go of it.
void LetGoOfCore();
