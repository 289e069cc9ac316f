// What a download still needs and whether a cut one goes on where it stopped:
// the room it lacks, the host's validator, its Content-Range and the verdict
// on a ranged answer; free of Win32 so it is tested natively and under Wine alike.
#pragma once

#include <cstdint>

// Bytes the volume lacks (0 when none) for the rest of a download of size
// bytes, have of which are already on disk; an unknown size (0) lacks nothing.
uint64_t MissingRoom(uint64_t freeBytes, uint64_t size, uint64_t have);
