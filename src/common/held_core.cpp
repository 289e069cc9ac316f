// Letting go of the held core.
#include "common/held_core.h"

#include "shell/launcher_state.h"

void CloseHeldCore()
{
    if (g_coreHandle != INVALID_HANDLE_VALUE) {
        CloseHandle(g_coreHandle);
        g_coreHandle = INVALID_HANDLE_VALUE;
    }
}
