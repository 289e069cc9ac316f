// Telling the launcher's own exe from a file put at its path: a running exe
// can be renamed, and another file put in its place, while it runs.
#pragma once

#include <cstddef>
#include <cstdint>

// True when bytes (a whole file of size bytes) are the exe this process runs
// from, as sealed at build time: the SHA-256 over its bytes up to the
// certificate table, without the header checksum, the certificate table's
// entry and the seal itself, equals the seal in the running image, and so does
// the seal in the file; the checksum and the entry are the ones the image was
// loaded with, and a table (if any) is the file's end. The table's own bytes
// are never mapped, so they are not compared: of a table, only its place and
// size are the image's. False for anything else, or an unsealed build.
bool IsRunningImage(const uint8_t* bytes, size_t size);
