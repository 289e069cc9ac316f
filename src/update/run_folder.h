// The update run's install folder: where it lies, taking it, the box when it
// cannot be used, and clearing what killed launchers left in it.
#pragma once

#include "update/install_folder.h"
#include "update/run_end.h"

struct RunFolder {
    bool haveBase;                // the profile's local application data folder was found
    FolderHold hold;              // whether the install folder is held (g_installFolder)
    FolderTaken taken;            // how it was come by
    wchar_t spelled[kPathUnits];  // base\TovrinTools as spelled, for the boxes
};

// Takes the install folder; false with end set when the run must end in a box
// here (a link, a folder that could not be set aside or is in use, a path too
// long to spell). Without a base folder, or with one that cannot be held, the
// run goes on without a held folder.
bool TakeRunFolder(RunFolder* folder, RunEnd* end);

// Removes the temporary files of launchers killed part-way from the held folder.
void RemoveStaleTemporaryFiles();
