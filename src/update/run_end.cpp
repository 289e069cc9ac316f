// The ends of an update run.
#include "update/run_end.h"

#include <cwchar>

#include "common/run_log.h"

RunEnd EndByStarting(bool announce)
{
    RunEnd end = {};
    end.start = true;
    end.announce = announce;
    return end;
}

RunEnd EndWithBox(const wchar_t* text)
{
    RunEnd end = {};
    wcsncpy(end.box, text, kErrorTextUnits - 1);
    return end;
}

bool CoreInstalled()
{
    // Any file system object of that name counts: the start will tell whether it runs.
    return GetFileAttributesW(g_corePath) != INVALID_FILE_ATTRIBUTES;
}

RunEnd FallBack(const wchar_t* box)
{
    if (!CoreInstalled()) {
        return EndWithBox(box);
    }
    RunLog("falling back to the installed core");
    return EndByStarting(false);
}
