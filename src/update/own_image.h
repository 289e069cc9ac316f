// Telling the launcher's own exe from a file put at its path: a running exe
// can be renamed, and another file put in its place, while it runs.
#pragma once

#include <windows.h>

// True when the file open as file (read access, no write sharing) is the exe
// this process runs from, as sealed at build time: the SHA-256 over its bytes
// up to the certificate table, without the header checksum, the certificate
// table's entry and the seal itself, equals the seal in the running image, and
// so does the seal in the file. False for anything else, or an unsealed build.
bool IsRunningImage(HANDLE file);
