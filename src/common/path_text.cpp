// Paths built in fixed buffers and compared ignoring ASCII case.
#include "common/path_text.h"

#include <cwchar>

namespace {

// format with first and second into path, whole or not at all.
bool FormatWhole(wchar_t* path, size_t units, const wchar_t* format, const wchar_t* first, const wchar_t* second)
{
    if (units == 0) {
        return false;
    }
    // C99 run-times return -1 on truncation, others the length that would have
    // been written; either way the text in the buffer is not the whole path.
    const int length = swprintf(path, units, format, first, second);
    if (length < 0 || static_cast<size_t>(length) >= units) {
        path[0] = L'\0';
        return false;
    }
    return true;
}

}  // namespace

bool JoinPath(const wchar_t* folder, const wchar_t* name, wchar_t* path, size_t units)
{
    return FormatWhole(path, units, L"%ls\\%ls", folder, name);
}

static wchar_t FoldAscii(wchar_t unit)
{
    return (unit >= L'A' && unit <= L'Z') ? static_cast<wchar_t>(unit - L'A' + L'a') : unit;
}

bool EqualIgnoringAsciiCase(const wchar_t* a, const wchar_t* b)
{
    for (;; ++a, ++b) {
        if (FoldAscii(*a) != FoldAscii(*b)) {
            return false;
        }
        if (*a == L'\0') {
            return true;
        }
    }
}

static bool StartsWithIgnoringAsciiCase(const wchar_t* text, const wchar_t* prefix)
{
    for (; *prefix != L'\0'; ++text, ++prefix) {
        if (FoldAscii(*text) != FoldAscii(*prefix)) {
            return false;
        }
    }
    return true;
}

bool PlainFinalPath(const wchar_t* finalPath, wchar_t* path, size_t units)
{
    const wchar_t* rest = finalPath;
    const wchar_t* lead = L"";
    if (StartsWithIgnoringAsciiCase(finalPath, L"\\\\?\\UNC\\")) {
        rest = finalPath + 8;
        lead = L"\\\\";
    } else if (wcsncmp(finalPath, L"\\\\?\\", 4) == 0 && finalPath[4] != L'\0' && finalPath[5] == L':') {
        rest = finalPath + 4;
    }
    return FormatWhole(path, units, L"%ls%ls", lead, rest);
}

bool IsInsideFolder(const wchar_t* folder, const wchar_t* path)
{
    const size_t length = wcslen(folder);
    return length > 0 && StartsWithIgnoringAsciiCase(path, folder) && path[length] == L'\\' &&
           path[length + 1] != L'\0';
}

bool IsStaleTemporaryName(const wchar_t* name)
{
    if (EqualIgnoringAsciiCase(name, L"TovrinTools_core.exe.tmp")) {
        return true;
    }
    if (!StartsWithIgnoringAsciiCase(name, L"Launcher-")) {
        return false;
    }
    const wchar_t* digits = name + 9;
    const wchar_t* end = digits;
    while (*end >= L'0' && *end <= L'9') {
        ++end;
    }
    return end != digits && EqualIgnoringAsciiCase(end, L".tmp");
}
