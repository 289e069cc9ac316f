// Reading the Content-Length header value and judging whether a body arrived in full.
#include "transfer/content_length.h"

namespace {

bool IsBlank(wchar_t c)
{
    return c == L' ' || c == L'\t';
}

}  // namespace

bool ParseContentLength(const wchar_t* text, uint64_t* length)
{
    const wchar_t* p = text;
    while (IsBlank(*p)) {
        ++p;
    }
    if (*p < L'0' || *p > L'9') {
        return false;
    }
    uint64_t value = 0;
    while (*p >= L'0' && *p <= L'9') {
        const uint64_t digit = static_cast<uint64_t>(*p - L'0');
        if (value > (UINT64_MAX - digit) / 10) {
            return false;
        }
        value = value * 10 + digit;
        ++p;
    }
    while (IsBlank(*p)) {
        ++p;
    }
    if (*p != L'\0') {
        return false;
    }
    *length = value;
    return true;
}

bool BodyLengthComplete(bool lengthKnown, uint64_t announced, uint64_t received)
{
    return !lengthKnown || received >= announced;
}
