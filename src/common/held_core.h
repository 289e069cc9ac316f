// The installed core as the whole process knows it: its file name, the texts
// of a start that cannot be made, and letting go of the core held for its start.
#pragma once

constexpr wchar_t kCoreName[] = L"TovrinTools_core.exe";
constexpr wchar_t kLaunchErrorFormat[] = L"Failed to launch TovrinTools_core.exe (error %lu).";
constexpr wchar_t kUnsignedCoreError[] = L"TovrinTools_core.exe is not signed by its publisher and was not started.";

// Closes g_coreHandle, the core the run handed to the window with its finish,
// once the start has returned; does nothing when none was handed over.
void CloseHeldCore();
