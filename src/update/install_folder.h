// The install folder the elevated launcher trusts: only one it made itself and
// has recorded, never one that was made, swapped in or redirected by others.
#pragma once

#include "common/folder_files.h"
#include "shell/launcher_state.h"
#include "update/folder_fingerprint.h"

// What taking the install folder did, for the run's log.
struct FolderTaken {
    bool made;                     // this run made the folder
    bool upgraded;                 // or kept one recorded by its ID alone, owned by Administrators
    bool recorded;                 // and recorded it for the runs after it
    wchar_t setAside[kPathUnits];  // the new name of what was there and was not the launcher's, or empty
    FolderMatch setAsideMatch;     // why it was not
    bool setAsideFile;             // it was no folder at all
    bool setAsideLink;             // it was a link, moved aside itself
};

// Holds base\name as the install folder (see HoldOpenFolder), where base is a
// local folder on a volume that keeps owners and DACLs (links above the install
// folder are followed; a network volume, FAT or exFAT is refused). Anything
// there that is not the recorded folder (MatchRecordedFolder), a file too, is
// renamed aside in base to name.untrusted-N (after 99, a random suffix), never
// deleted or opened for anything else, and a new folder is made, with the
// folder's descriptor from its first moment, and recorded. What cannot be set
// aside (a program runs from it, the launcher itself perhaps) is FolderForeign;
// what another program holds open without sharing is FolderInUse; a link that
// cannot be opened as itself, to be renamed alone, is FolderLinked.
FolderHold TakeInstallFolder(const wchar_t* base, const wchar_t* name, FolderTaken* taken);
