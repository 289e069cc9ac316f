// Proxy lists, bypass lists and the description of the proxy decision.
#include "transfer/proxy_rules.h"

#include <cwchar>
#include <cwctype>

namespace {

// WinHTTP's values (winhttp.h), spelled out to keep these rules free of it.
constexpr uint32_t kAutoProxyAutoDetect = 0x1;
constexpr uint32_t kAutoProxyConfigUrl = 0x2;
constexpr uint32_t kAutoProxyRunOutprocessOnly = 0x20000;
// ERROR_WINHTTP_AUTO_PROXY_SERVICE_ERROR: the service did not answer for the script.
constexpr uint32_t kAutoProxyServiceError = 12178;

bool IsEntrySeparator(wchar_t c)
{
    return c == L';' || c == L',' || c == L' ' || c == L'\t' || c == L'\r' || c == L'\n';
}

// True when the count units at text equal the ASCII word, ignoring case.
bool SameWord(const wchar_t* text, size_t count, const wchar_t* word)
{
    if (std::wcslen(word) != count) {
        return false;
    }
    for (size_t i = 0; i < count; ++i) {
        if (std::towlower(text[i]) != std::towlower(word[i])) {
            return false;
        }
    }
    return true;
}

bool StartsWithWord(const wchar_t* text, size_t count, const wchar_t* word)
{
    size_t length = std::wcslen(word);
    return count >= length && SameWord(text, length, word);
}

// '*' stands for any run of characters; everything else matches itself, ignoring case.
bool WildcardMatch(const wchar_t* pattern, size_t patternCount, const wchar_t* text)
{
    if (patternCount == 0) {
        return *text == L'\0';
    }
    if (*pattern == L'*') {
        for (const wchar_t* rest = text;; ++rest) {
            if (WildcardMatch(pattern + 1, patternCount - 1, rest)) {
                return true;
            }
            if (*rest == L'\0') {
                return false;
            }
        }
    }
    return *text != L'\0' && std::towlower(*pattern) == std::towlower(*text) &&
           WildcardMatch(pattern + 1, patternCount - 1, text + 1);
}

bool EntryNamesHost(const wchar_t* entry, size_t count, const wchar_t* host, uint16_t port)
{
    size_t colon = count;

    if (SameWord(entry, count, L"<local>")) {
        return std::wcschr(host, L'.') == nullptr;
    }
    // An entry for another scheme says nothing about HTTPS.
    for (size_t i = 0; i + 2 < count; ++i) {
        if (entry[i] == L':' && entry[i + 1] == L'/' && entry[i + 2] == L'/') {
            if (!SameWord(entry, i, L"https")) {
                return false;
            }
            entry += i + 3;
            count -= i + 3;
            break;
        }
    }
    while (colon > 0 && std::iswdigit(entry[colon - 1])) {
        --colon;
    }
    if (colon > 0 && colon < count && entry[colon - 1] == L':') {
        unsigned long wanted = 0;
        for (size_t i = colon; i < count; ++i) {
            wanted = wanted * 10 + static_cast<unsigned long>(entry[i] - L'0');
            if (wanted > 65535) {
                return false;
            }
        }
        if (wanted != port) {
            return false;
        }
        count = colon - 1;
    }
    return count > 0 && WildcardMatch(entry, count, host);
}

void Append(wchar_t* text, size_t units, size_t* length, const wchar_t* piece, size_t count)
{
    while (count > 0 && *piece != L'\0' && *length + 1 < units) {
        text[(*length)++] = *piece++;
        --count;
    }
    text[*length] = L'\0';
}

void AppendText(wchar_t* text, size_t units, size_t* length, const wchar_t* piece)
{
    Append(text, units, length, piece, std::wcslen(piece));
}

// A proxy "user:password@host:port" as "host:port".
void AppendProxyName(wchar_t* text, size_t units, size_t* length, const wchar_t* proxy)
{
    const wchar_t* at = std::wcsrchr(proxy, L'@');
    AppendText(text, units, length, at != nullptr ? at + 1 : proxy);
}

// An address without the user name, password, query and fragment that it may carry.
void AppendAddress(wchar_t* text, size_t units, size_t* length, const wchar_t* address)
{
    const wchar_t* authority = std::wcsstr(address, L"://");
    const wchar_t* end = address + std::wcscspn(address, L"?#");
    const wchar_t* hostStart = address;

    if (authority != nullptr && authority < end) {
        authority += 3;
        Append(text, units, length, address, static_cast<size_t>(authority - address));
        hostStart = authority;
        const wchar_t* pathStart = authority + std::wcscspn(authority, L"/?#");
        for (const wchar_t* p = authority; p < pathStart; ++p) {
            if (*p == L'@') {
                hostStart = p + 1;
            }
        }
    }
    Append(text, units, length, hostStart, static_cast<size_t>(end - hostStart));
}

}  // namespace

bool SelectHttpsProxy(const wchar_t* list, wchar_t* proxy, size_t units)
{
    const wchar_t* chosen = nullptr;
    size_t chosenCount = 0;
    bool perScheme = false;
    bool httpsNamed = false;

    if (list == nullptr || units == 0) {
        return false;
    }
    for (const wchar_t* p = list; *p != L'\0';) {
        while (*p != L'\0' && IsEntrySeparator(*p)) {
            ++p;
        }
        const wchar_t* entry = p;
        while (*p != L'\0' && !IsEntrySeparator(*p)) {
            ++p;
        }
        size_t count = static_cast<size_t>(p - entry);
        const wchar_t* equals = std::wmemchr(entry, L'=', count);
        if (count == 0) {
            continue;
        }
        if (equals != nullptr) {
            perScheme = true;
            if (!httpsNamed && SameWord(entry, static_cast<size_t>(equals - entry), L"https")) {
                httpsNamed = true;
                chosen = equals + 1;
                chosenCount = count - static_cast<size_t>(equals - entry) - 1;
            }
        } else if (chosen == nullptr) {
            chosen = entry;
            chosenCount = count;
        }
    }
    if (chosen == nullptr || (perScheme && !httpsNamed)) {
        return false;
    }
    if (StartsWithWord(chosen, chosenCount, L"http://")) {
        chosen += 7;
        chosenCount -= 7;
    }
    while (chosenCount > 0 && chosen[chosenCount - 1] == L'/') {
        --chosenCount;
    }
    if (chosenCount == 0 || chosenCount + 1 > units) {
        return false;
    }
    std::wmemcpy(proxy, chosen, chosenCount);
    proxy[chosenCount] = L'\0';
    return true;
}

bool HostBypassesProxy(const wchar_t* bypassList, const wchar_t* host, uint16_t port)
{
    if (bypassList == nullptr) {
        return false;
    }
    for (const wchar_t* p = bypassList; *p != L'\0';) {
        while (*p != L'\0' && IsEntrySeparator(*p)) {
            ++p;
        }
        const wchar_t* entry = p;
        while (*p != L'\0' && !IsEntrySeparator(*p)) {
            ++p;
        }
        if (p > entry && EntryNamesHost(entry, static_cast<size_t>(p - entry), host, port)) {
            return true;
        }
    }
    return false;
}

void FormatProxyDecision(const ProxyDecision* decision, wchar_t* text, size_t units)
{
    wchar_t number[16];
    size_t length = 0;

    if (units == 0) {
        return;
    }
    text[0] = L'\0';
    AppendText(text, units, &length, L"proxy: ");
    if (decision->viaProxy) {
        AppendProxyName(text, units, &length, decision->proxy);
    } else {
        AppendText(text, units, &length, decision->kind == ProxyKindNone ? L"system default" : L"direct");
    }
    AppendText(text, units, &length, L" (");
    switch (decision->kind) {
    case ProxyKindNone:
        AppendText(text, units, &length, L"no proxy from the user's settings");
        break;
    case ProxyKindNamed:
        AppendText(text, units, &length, decision->bypassed ? L"the user's bypass list names the host"
                                                            : L"named in the user's settings");
        break;
    case ProxyKindAutoConfig:
        AppendText(text, units, &length, L"auto-config script ");
        AppendAddress(text, units, &length, decision->script);
        break;
    case ProxyKindAutoDetect:
        AppendText(text, units, &length, L"automatically detected script");
        break;
    }
    if (decision->scriptError != 0) {
        std::swprintf(number, sizeof(number) / sizeof(number[0]), L"%lu",
                      static_cast<unsigned long>(decision->scriptError));
        AppendText(text, units, &length, decision->scriptError == kAutoProxyServiceError
                                             ? L"; the script could not be run out of process, error "
                                             : L"; no script answer, error ");
        AppendText(text, units, &length, number);
    }
    AppendText(text, units, &length, L")");
}

uint32_t AutoProxyFlags(bool detect)
{
    return (detect ? kAutoProxyAutoDetect : kAutoProxyConfigUrl) | kAutoProxyRunOutprocessOnly;
}

bool ProxyMayHaveLogon(ProxyKind kind)
{
    return kind == ProxyKindNamed || kind == ProxyKindAutoConfig;
}
