// Acting with no more rights than the user's unelevated programs have, for the
// writes the launcher makes in folders that unelevated code controls.
#pragma once

#include <windows.h>

// Where the process runs elevated over a linked (filtered) token, *token
// receives an impersonation token of the process's own user in which every
// group the linked token only denies with, Administrators always among them,
// is deny-only, that holds no privilege but bypassing traverse checks, and that
// has the linked token's integrity level. Null where the process is not
// elevated over a linked token, so that it has no more rights to give up.
// False when the rights could not be lowered.
bool MakeUnelevatedToken(HANDLE* token);

// Makes the calling thread act with the rights of MakeUnelevatedToken until
// RevertToSelf. False (the thread unchanged) when that cannot be done; the
// caller then writes nothing.
bool ImpersonateUnelevatedUser();
