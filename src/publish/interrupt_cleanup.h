// Temporary files that an interrupted run removes on its way out: created
// under unique names and registered in one step, so Ctrl+C or a SIGTERM from a
// deployment script never leaves a half-written file in the web root.
#pragma once

#include <signal.h>

// Slots for the files a run keeps at the same time.
constexpr int kInterruptSlots = 3;

// Creates a new file from pathTemplate ("...XXXXXX" followed by suffixLength
// more bytes, as mkostemps takes it; the Xs are replaced) with mode 0600, and
// registers it in slot, so that SIGINT, SIGTERM or SIGHUP removes it before
// the process ends as the signal says (a signal ignored when the first file
// was created stays ignored). The signals wait while this runs.
// Returns the open descriptor, or -1 with errno set.
int CreateTemporary(char* pathTemplate, int suffixLength, int slot);

// Hold SIGINT, SIGTERM and SIGHUP back, and let them through again (those that
// came meanwhile are then handled), so that steps that belong together, like
// the two renames of a release, are never split.
void HoldInterrupts(sigset_t* previous);
void ReleaseInterrupts(const sigset_t* previous);

// Forgets the file in slot (after it was renamed into place or removed).
void ForgetTemporary(int slot);

// Forgets every file and restores the signal handlers that were there before
// the first CreateTemporary.
void EndTemporaries();
