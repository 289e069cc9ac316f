// Definitions of the process-wide launcher state; all of it starts zeroed but
// the held core's handle, which starts empty.
#include "shell/launcher_state.h"

HWND g_hwndMain = nullptr;
HWND g_hwndStatus = nullptr;
HWND g_hwndProgress = nullptr;
std::atomic<LONG> g_cancelRequested{0};
wchar_t g_corePath[kPathUnits] = {};
wchar_t g_errorText[kErrorTextUnits] = {};
HANDLE g_coreHandle = INVALID_HANDLE_VALUE;
