// Whether a program is a launcher of this build's update host.
#pragma once

#include <cstddef>

// True when image is a Windows program (as ReadPeFileVersion accepts it) whose
// RCDATA resource 1 is exactly endpoint ("host:port", as res/launcher.rc holds
// it): a launcher built for the same update host, not a core or any other
// program its publisher signed.
bool ImageNamesEndpoint(const unsigned char* image, size_t size, const char* endpoint);
