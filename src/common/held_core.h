// The installed core as the whole process knows it: its file name, the texts
// of a start that cannot be made, and letting go of the core held for its start.
#pragma once

constexpr wchar_t kCoreName[] = L"TovrinTools_core.exe";
constexpr wchar_t kLaunchErrorFormat[] = L"Failed to launch TovrinTools_core.exe (error %lu).";
constexpr wchar_t kUnsignedCoreError[] = L"TovrinTools_core.exe is not signed by its publisher and was not started.";

// Closes g_coreHandle, the core held open since its check, once the start has
// returned or a download is to replace it; does nothing when no core is held.
void CloseHeldCore();
