// Paths built in fixed buffers without ever cutting them short, and their
// comparison as the file system sees ASCII case; free of Win32 so it is tested
// natively and under Wine alike.
#pragma once

#include <cstddef>

// Writes folder + "\" + name into path (units, terminator included). When the
// result would not fit, path is left empty and the result is false: a path cut
// short names another file, so it must never be used.
bool JoinPath(const wchar_t* folder, const wchar_t* name, wchar_t* path, size_t units);

// True when both texts are equal once ASCII letters A-Z are folded to a-z;
// every other unit must match exactly (the C locale's notion of case).
bool EqualIgnoringAsciiCase(const wchar_t* a, const wchar_t* b);

// Writes the final path that GetFinalPathNameByHandleW gives ("\\?\C:\..." or
// "\\?\UNC\server\...") in its usual spelling ("C:\..." or "\\server\...") into
// path (units, terminator included); other forms are copied unchanged. False
// with path empty when the result would not fit.
bool PlainFinalPath(const wchar_t* finalPath, wchar_t* path, size_t units);

// True when path names something below folder (folder + "\" + more), ASCII
// case ignored; folder itself is not inside.
bool IsInsideFolder(const wchar_t* folder, const wchar_t* path);

// True for the names of temporary files that a launcher killed part-way can
// leave in the install folder: "Launcher-<digits>.tmp" and
// "TovrinTools_core.exe.tmp", in any ASCII case.
bool IsStaleTemporaryName(const wchar_t* name);
