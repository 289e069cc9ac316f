// Paths built in fixed buffers and compared ignoring ASCII case.
#include "update/path_text.h"

#include <cwchar>

bool JoinPath(const wchar_t* folder, const wchar_t* name, wchar_t* path, size_t units)
{
    if (units == 0) {
        return false;
    }
    // C99 run-times return -1 on truncation, others the length that would have
    // been written; either way the text in the buffer is not the whole path.
    const int length = swprintf(path, units, L"%ls\\%ls", folder, name);
    if (length < 0 || static_cast<size_t>(length) >= units) {
        path[0] = L'\0';
        return false;
    }
    return true;
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
