// How an update run ends: the start of the held core, or a box with its text.
#pragma once

#include "shell/launcher_state.h"

// The start of the held core, after the launching text (announce) or quietly
// (a fallback); or, when start is false, the box with text box (empty: the
// window's own).
struct RunEnd {
    bool start;
    bool announce;
    wchar_t box[kErrorTextUnits];
};

RunEnd EndByStarting(bool announce);

RunEnd EndWithBox(const wchar_t* text);

// The end of a request that failed or a download that was refused: a core
// that is already there is still worth starting; without one, the box.
RunEnd FallBack(const wchar_t* box);

// Whether g_corePath names anything: a core to fall back to.
bool CoreInstalled();
