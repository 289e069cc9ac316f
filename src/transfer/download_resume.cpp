// What a download still needs and whether a cut one goes on where it stopped.
#include "transfer/download_resume.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "transfer/content_length.h"
#include "transfer/digest_text.h"

namespace {

bool IsPrintable(wchar_t c)
{
    return c >= 0x20 && c <= 0x7E;
}

// Copies text into validator when it is non-empty printable ASCII that fits.
bool CopyValidator(const wchar_t* text, char* validator)
{
    size_t n = 0;
    for (; text[n] != L'\0'; ++n) {
        if (!IsPrintable(text[n]) || n + 1 >= kValidatorBytes) {
            return false;
        }
    }
    for (size_t i = 0; i <= n; ++i) {
        validator[i] = static_cast<char>(text[i]);
    }
    return n > 0;
}

// Reads decimal digits at *p into value (64 bits at most) and moves *p past them.
bool ReadNumber(const wchar_t** p, uint64_t* value)
{
    wchar_t digits[24];
    size_t n = 0;
    while ((*p)[n] >= L'0' && (*p)[n] <= L'9') {
        if (n + 1 >= sizeof(digits) / sizeof(digits[0])) {
            return false;
        }
        digits[n] = (*p)[n];
        ++n;
    }
    digits[n] = L'\0';
    *p += n;
    return n > 0 && ParseContentLength(digits, value);
}

}  // namespace

uint64_t MissingRoom(uint64_t freeBytes, uint64_t size, uint64_t have)
{
    const uint64_t toCome = size > have ? size - have : 0;
    return toCome > freeBytes ? toCome - freeBytes : 0;
}

bool TakeStrongValidator(const wchar_t* etag, const wchar_t* lastModified, char* validator)
{
    validator[0] = '\0';
    if (etag != nullptr && etag[0] != L'\0') {
        const size_t length = wcslen(etag);
        // A strong entity tag is quoted and has no "W/" before its quote.
        if (length < 2 || etag[0] != L'"' || etag[length - 1] != L'"' || !CopyValidator(etag, validator)) {
            validator[0] = '\0';
            return false;
        }
        return true;
    }
    if (lastModified != nullptr && CopyValidator(lastModified, validator)) {
        return true;
    }
    validator[0] = '\0';
    return false;
}

bool ParseContentRange(const wchar_t* text, uint64_t* first, uint64_t* last, uint64_t* complete)
{
    const wchar_t* p = text;
    uint64_t a = 0;
    uint64_t b = 0;
    uint64_t c = 0;
    while (*p == L' ' || *p == L'\t') {
        ++p;
    }
    if (wcsncmp(p, L"bytes ", 6) != 0) {
        return false;
    }
    p += 6;
    if (!ReadNumber(&p, &a) || *p++ != L'-' || !ReadNumber(&p, &b) || *p++ != L'/' || !ReadNumber(&p, &c)) {
        return false;
    }
    while (*p == L' ' || *p == L'\t') {
        ++p;
    }
    if (*p != L'\0' || a > b || b >= c) {
        return false;
    }
    *first = a;
    *last = b;
    *complete = c;
    return true;
}

RangedAnswer JudgeRangedAnswer(uint32_t status, const wchar_t* contentRange, const char* sent, const char* answered,
                               uint64_t from, uint64_t size)
{
    uint64_t first = 0;
    uint64_t last = 0;
    uint64_t complete = 0;
    if (status == 200) {
        return RangedWhole;
    }
    if (status != 206 || contentRange == nullptr || !ParseContentRange(contentRange, &first, &last, &complete) ||
        first != from || complete != size || last + 1 != size || answered == nullptr || strcmp(sent, answered) != 0) {
        return RangedRefused;
    }
    return RangedAppend;
}

bool FormatPartialNote(const PartialNote& note, char* text)
{
    const int length = snprintf(text, kPartialNoteBytes, "%s\n%llu\n%s\n", note.sha256,
                                static_cast<unsigned long long>(note.size), note.validator);
    return length > 0 && static_cast<size_t>(length) < kPartialNoteBytes;
}

bool ParsePartialNote(const char* text, PartialNote* note)
{
    const char* lines[3] = {};
    size_t lengths[3] = {};
    const char* p = text;
    wchar_t number[24];
    for (int i = 0; i < 3; ++i) {
        const char* end = strchr(p, '\n');
        if (end == nullptr) {
            return false;
        }
        lines[i] = p;
        lengths[i] = static_cast<size_t>(end - p);
        p = end + 1;
    }
    if (*p != '\0' || lengths[0] == 0 || lengths[0] >= kNoteDigestBytes || lengths[1] == 0 ||
        lengths[1] >= sizeof(number) / sizeof(number[0]) || lengths[2] == 0 || lengths[2] >= kValidatorBytes) {
        return false;
    }
    for (size_t i = 0; i < lengths[1]; ++i) {
        number[i] = static_cast<wchar_t>(static_cast<unsigned char>(lines[1][i]));
    }
    number[lengths[1]] = L'\0';
    if (number[0] == L' ' || !ParseContentLength(number, &note->size)) {
        return false;
    }
    // It goes back out in an If-Range header.
    for (size_t i = 0; i < lengths[2]; ++i) {
        if (!IsPrintable(static_cast<unsigned char>(lines[2][i]))) {
            return false;
        }
    }
    memcpy(note->sha256, lines[0], lengths[0]);
    note->sha256[lengths[0]] = '\0';
    memcpy(note->validator, lines[2], lengths[2]);
    note->validator[lengths[2]] = '\0';
    return true;
}

bool PartialFitsRelease(const PartialNote& note, uint64_t have, const char* sha256, uint64_t size)
{
    return sha256[0] != '\0' && DigestTextsEqual(note.sha256, sha256) && note.size == size && have > 0 &&
           have < size;
}
