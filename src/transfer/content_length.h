// Reading the Content-Length header value and judging whether a body arrived in
// full; free of Win32 so it is tested natively and under Wine alike.
#pragma once

#include <cstdint>

// Parses a Content-Length value: optional surrounding spaces or tabs around one
// or more decimal digits that fit in 64 bits. Anything else is rejected, since
// a length that cannot be read cannot prove a body complete.
bool ParseContentLength(const wchar_t* text, uint64_t* length);

// True unless the response announced a length and fewer bytes arrived: a
// connection that ends early can look like a normal end of body.
bool BodyLengthComplete(bool lengthKnown, uint64_t announced, uint64_t received);
