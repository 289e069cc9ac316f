// The install folder the elevated launcher trusts: only one it made itself and
// has recorded, never one that was made, swapped in or redirected by others.
#pragma once

#include "common/folder_files.h"
#include "shell/launcher_state.h"

// What taking the install folder did, for the run's log.
struct FolderTaken {
    bool made;                     // this run made the folder
    bool recorded;                 // and recorded it for the runs after it
    wchar_t setAside[kPathUnits];  // the new name of a folder that was not the launcher's, or empty
};

// Holds base\name as the install folder (see HoldOpenFolder), where base is a
// local folder (links above the install folder are followed; a network volume
// is refused). A folder there that is not the recorded one is renamed aside in
// base to name.untrusted-N, never deleted or opened for anything else, and a new
// folder is made, with the folder's descriptor from its first moment, and
// recorded. A folder that cannot be set aside (a program runs from it, the
// launcher itself perhaps) is FolderForeign; a link is FolderLinked.
FolderHold TakeInstallFolder(const wchar_t* base, const wchar_t* name, FolderTaken* taken);
