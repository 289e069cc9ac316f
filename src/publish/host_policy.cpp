// What a served release's headers promise the launcher, judged with the
// launcher's own rules for the resume.
#include "publish/host_policy.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "transfer/download_resume.h"

namespace {

constexpr size_t kHeaderUnits = 256;

// The value of directive (as "max-age") in a Cache-Control list: true when it
// is there; *seconds is its number, -1 when it has none.
bool FindDirective(const char* list, const char* directive, long* seconds)
{
    const size_t length = strlen(directive);
    const char* p = list;
    while (*p != '\0') {
        while (*p == ' ' || *p == '\t' || *p == ',') {
            ++p;
        }
        if (strncasecmp(p, directive, length) == 0 && (p[length] == '\0' || p[length] == ',' || p[length] == '=' ||
                                                       p[length] == ' ' || p[length] == '\t')) {
            *seconds = p[length] == '=' ? strtol(p + length + 1 + (p[length + 1] == '"'), nullptr, 10) : -1;
            return true;
        }
        while (*p != '\0' && *p != ',') {
            ++p;
        }
    }
    return false;
}

// A header value as the launcher reads it from WinHTTP: wide text, printable
// ASCII kept and anything else made a character no rule accepts.
const wchar_t* Widen(const char* text, wchar_t* wide)
{
    if (text == nullptr) {
        return nullptr;
    }
    size_t i = 0;
    for (; text[i] != '\0' && i + 1 < kHeaderUnits; ++i) {
        wide[i] = static_cast<unsigned char>(text[i]) < 0x80 ? static_cast<wchar_t>(text[i]) : L'\x7F';
    }
    wide[i] = L'\0';
    return wide;
}

}  // namespace

bool DescribeDocumentCaching(const char* cacheControl, const char* expires, char* text, size_t capacity)
{
    long seconds = -1;
    const char* list = cacheControl != nullptr ? cacheControl : "";
    if (FindDirective(list, "no-store", &seconds)) {
        snprintf(text, capacity, "never kept by a cache (Cache-Control: %s)", list);
        return true;
    }
    if (FindDirective(list, "no-cache", &seconds)) {
        snprintf(text, capacity, "asked for again from the host on every request (Cache-Control: %s)", list);
        return true;
    }
    if (FindDirective(list, "s-maxage", &seconds) || FindDirective(list, "max-age", &seconds)) {
        if (seconds == 0 && FindDirective(list, "must-revalidate", &seconds)) {
            snprintf(text, capacity, "asked for again from the host on every request (Cache-Control: %s)", list);
            return true;
        }
        snprintf(text, capacity, "may be served by a cache for %ld s without asking the host (Cache-Control: %s)",
                 seconds < 0 ? 0 : seconds, list);
        return false;
    }
    if (expires != nullptr) {
        snprintf(text, capacity, "may be served by a cache until %s without asking the host (Expires)", expires);
        return false;
    }
    snprintf(text, capacity, "no Cache-Control: a cache may keep it for as long as it chooses");
    return false;
}

bool ExecutableValidator(const char* etag, const char* lastModified, char* validator)
{
    wchar_t wideEtag[kHeaderUnits];
    wchar_t wideDate[kHeaderUnits];
    return TakeStrongValidator(Widen(etag, wideEtag), Widen(lastModified, wideDate), validator);
}

bool DescribeResume(const char* validator, long status, const char* contentRange, const char* etag,
                    const char* lastModified, uint64_t from, uint64_t size, char* text, size_t capacity)
{
    wchar_t wideRange[kHeaderUnits];
    char answered[kValidatorBytes];
    if (validator[0] == '\0') {
        snprintf(text, capacity, "no: the executable has no strong validator (a strong ETag, else a "
                 "Last-Modified), so a cut download starts again from nothing");
        return false;
    }
    const bool strong = ExecutableValidator(etag, lastModified, answered);
    const RangedAnswer verdict = JudgeRangedAnswer(static_cast<uint32_t>(status), Widen(contentRange, wideRange),
                                                   validator, strong ? answered : nullptr, from, size);
    if (verdict == RangedAppend) {
        snprintf(text, capacity, "yes: a request for the bytes from %llu with If-Range %s got 206 with the rest and "
                 "the same validator", static_cast<unsigned long long>(from), validator);
        return true;
    }
    snprintf(text, capacity, "no: a request for the bytes from %llu with If-Range %s got %ld%s%s%s, not the rest of "
             "the same file, so a cut download starts again from nothing", static_cast<unsigned long long>(from),
             validator, status, contentRange != nullptr ? " with Content-Range " : "",
             contentRange != nullptr ? contentRange : "", verdict == RangedWhole ? " (the whole file)" : "");
    return false;
}
