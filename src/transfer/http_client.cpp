// The two HTTPS GET requests to the update host over WinHTTP. Every call opens its
// own session, connection and request and closes them, in that reverse order,
// before it returns; both take the route decided from the user's proxy settings.
#include "transfer/http_client.h"

#include <windows.h>
#include <winhttp.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>
#include <cwchar>

#include "common/window_post.h"
#include "shell/launcher_state.h"
#include "transfer/connect_plan.h"
#include "transfer/content_length.h"
#include "transfer/download_resume.h"
#include "transfer/host_certificate.h"
#include "transfer/progress_text.h"
#include "transfer/proxy_decision.h"
#include "transfer/update_contract.h"
#include "update_host.h"

namespace {

// A host that never answers (a network that drops the connection attempts)
// must not hold the start for WinHTTP's own 60 s: 7 s outlast one lost SYN with
// Windows' 3 s first retransmission and a slow link's round trip, for all the
// host's addresses together, and a name that resolves within 5 s resolves at
// all. Either ends the check as an unreachable host does.
constexpr DWORD kResolveTimeoutMs = 5000;
constexpr DWORD kConnectTimeoutMs = 7000;
constexpr DWORD kFetchReceiveTimeoutMs = 15000;
constexpr DWORD kDownloadReceiveTimeoutMs = 30000;
constexpr DWORD kChunkBytes = 65536;
constexpr size_t kAddressUnits = 64;

// The route of the run, decided at its first request, and whether WinHTTP took
// IPv6 fast fallback. Only the worker thread makes requests, so nothing else
// touches these.
ProxyDecision s_proxy;
bool s_proxyDecided = false;
bool s_fastFallback = false;

// Opens a session on the run's route. Without a proxy from the user's settings
// it opens as it always did, so WinHTTP's machine setting still applies.
HINTERNET OpenSession()
{
    HINTERNET session = nullptr;
    BOOL fastFallback = TRUE;
    if (!s_proxyDecided) {
        DecideProxy(kUpdateHost, kUpdatePort, &s_proxy);
        s_proxyDecided = true;
    }
    if (s_proxy.viaProxy) {
        // The bypass list was applied in the decision: every request goes to the proxy.
        session = WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_NAMED_PROXY, s_proxy.proxy, WINHTTP_NO_PROXY_BYPASS, 0);
    } else {
        session = WinHttpOpen(kUserAgent, s_proxy.kind == ProxyKindNone ? WINHTTP_ACCESS_TYPE_DEFAULT_PROXY
                                                                        : WINHTTP_ACCESS_TYPE_NO_PROXY,
                              WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    }
    // The connect time-out covers all of a host's addresses together: a host
    // whose IPv6 path drops packets silently would spend all of it on its first
    // IPv6 address. With fast fallback that one gets 300 ms, then the first IPv4
    // address the rest. A WinHTTP that does not know the option refuses it and
    // connects as before.
    s_fastFallback = session != nullptr &&
                     WinHttpSetOption(session, WINHTTP_OPTION_IPV6_FAST_FALLBACK, &fastFallback, sizeof(fastFallback));
    return session;
}

// A proxy that asks for Negotiate or NTLM gets the user's own logon (no name
// and password, so WinHTTP uses the logged-on user's, and only for the proxy)
// when the user's settings chose it, never when automatic detection found it.
// Basic would need a password, which is never asked for or stored.
bool AnswerProxyLogon(HINTERNET request, ProxyLogon* logon)
{
    DWORD supported = 0;
    DWORD first = 0;
    DWORD target = 0;
    DWORD scheme = 0;

    if (!s_proxy.viaProxy || !WinHttpQueryAuthSchemes(request, &supported, &first, &target) ||
        target != WINHTTP_AUTH_TARGET_PROXY) {
        return false;
    }
    if ((supported & WINHTTP_AUTH_SCHEME_NEGOTIATE) != 0) {
        scheme = WINHTTP_AUTH_SCHEME_NEGOTIATE;
    } else if ((supported & WINHTTP_AUTH_SCHEME_NTLM) != 0) {
        scheme = WINHTTP_AUTH_SCHEME_NTLM;
    } else {
        return false;
    }
    if (!ProxyMayHaveLogon(s_proxy.kind)) {
        *logon = ProxyLogonWithheld;
        return false;
    }
    *logon = ProxyLogonAnswered;
    return WinHttpSetCredentials(request, WINHTTP_AUTH_TARGET_PROXY, scheme, nullptr, nullptr, nullptr) != FALSE;
}

// Keeps the error of the call that just failed and returns false.
bool Failed(HttpOutcome* outcome)
{
    outcome->error = GetLastError();
    return false;
}

// Closes what OpenAndSendRequest opened, in the order request, connection, session.
void CloseRequestHandles(HINTERNET request, HINTERNET connection, HINTERNET session)
{
    if (request != nullptr) {
        WinHttpCloseHandle(request);
    }
    if (connection != nullptr) {
        WinHttpCloseHandle(connection);
    }
    if (session != nullptr) {
        WinHttpCloseHandle(session);
    }
}

// The update host's first IPv4 address as text into address (kAddressUnits),
// when its name resolves to addresses of both families. The name was just
// resolved for the attempt that failed, so the system's cache answers.
bool FirstIpv4OfDualStackHost(wchar_t* address)
{
    WSADATA winsock = {};
    ADDRINFOW hints = {};
    ADDRINFOW* found = nullptr;
    bool haveIpv6 = false;
    bool haveIpv4 = false;

    if (WSAStartup(MAKEWORD(2, 2), &winsock) != 0) {
        return false;
    }
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    if (GetAddrInfoW(kUpdateHost, nullptr, &hints, &found) == 0) {
        for (const ADDRINFOW* entry = found; entry != nullptr; entry = entry->ai_next) {
            haveIpv6 = haveIpv6 || entry->ai_family == AF_INET6;
            if (entry->ai_family == AF_INET && !haveIpv4) {
                haveIpv4 = InetNtopW(AF_INET, &reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr, address,
                                     kAddressUnits) != nullptr;
            }
        }
        FreeAddrInfoW(found);
    }
    WSACleanup();
    return haveIpv6 && haveIpv4;
}

// Opens a GET request for path on server (the update host's name, or with
// byAddress one of its addresses), with connectLimitMs to connect, and sends it
// with headers (nullptr: none). Reached by its address, the request still names
// the host, and the host's certificate is judged for its name alone, by
// JudgeHostCertificate, as on every request; WinHTTP's own check of the name
// would compare it with the address. False with *sendFailed set when the
// request could not be sent (no connection within the limit, for one).
bool OpenAndSend(HINTERNET session, const wchar_t* server, bool byAddress, DWORD connectLimitMs, const wchar_t* path,
                 DWORD receiveTimeoutMs, const wchar_t* headers, HINTERNET* connection, HINTERNET* request,
                 bool* sendFailed, HttpOutcome* outcome)
{
    DWORD timeout = receiveTimeoutMs;
    DWORD resolveTimeout = kResolveTimeoutMs;
    DWORD connectTimeout = connectLimitMs;
    DWORD nameUnchecked = SECURITY_FLAG_IGNORE_CERT_CN_INVALID;
    wchar_t host[kAddressUnits + 16];

    *sendFailed = false;
    *connection = WinHttpConnect(session, server, kUpdatePort, 0);
    if (*connection == nullptr) {
        return Failed(outcome);
    }
    *request = WinHttpOpenRequest(*connection, L"GET", path, nullptr, WINHTTP_NO_REFERER,
                                  WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE);
    if (*request == nullptr) {
        return Failed(outcome);
    }
    if (!WinHttpSetOption(*request, WINHTTP_OPTION_RESOLVE_TIMEOUT, &resolveTimeout, sizeof(resolveTimeout)) ||
        !WinHttpSetOption(*request, WINHTTP_OPTION_CONNECT_TIMEOUT, &connectTimeout, sizeof(connectTimeout)) ||
        !WinHttpSetOption(*request, WINHTTP_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof(timeout))) {
        return Failed(outcome);
    }
    if (byAddress) {
        swprintf(host, sizeof(host) / sizeof(host[0]), kUpdatePort == 443 ? L"Host: %ls" : L"Host: %ls:%u",
                 kUpdateHost, static_cast<unsigned>(kUpdatePort));
        if (!WinHttpSetOption(*request, WINHTTP_OPTION_SECURITY_FLAGS, &nameUnchecked, sizeof(nameUnchecked)) ||
            !WinHttpAddRequestHeaders(*request, host, static_cast<DWORD>(-1L),
                                      WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE)) {
            return Failed(outcome);
        }
    }
    if (!WinHttpSendRequest(*request, headers != nullptr ? headers : WINHTTP_NO_ADDITIONAL_HEADERS,
                            headers != nullptr ? static_cast<DWORD>(-1L) : 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
        *sendFailed = true;
        return Failed(outcome);
    }
    return true;
}

// Opens and sends the request for path. Where WinHTTP has no IPv6 fast
// fallback, a direct connection gets two attempts within the connect limit:
// a host whose first address is an IPv6 one that never answers is then tried
// over its first IPv4 address, any other host by its name once more.
bool OpenAndSendWithinLimit(HINTERNET session, const wchar_t* path, DWORD receiveTimeoutMs, const wchar_t* headers,
                            HINTERNET* connection, HINTERNET* request, HttpOutcome* outcome)
{
    wchar_t address[kAddressUnits];
    bool sendFailed = false;
    const DWORD limit = AttemptConnectLimitMs(s_fastFallback, s_proxy.viaProxy, kConnectTimeoutMs);
    if (OpenAndSend(session, kUpdateHost, false, limit, path, receiveTimeoutMs, headers, connection, request,
                    &sendFailed, outcome)) {
        return true;
    }
    const bool connectFailed =
        sendFailed && (outcome->error == ERROR_WINHTTP_TIMEOUT || outcome->error == ERROR_WINHTTP_CANNOT_CONNECT);
    const ConnectAgain again = SecondConnectAttempt(s_fastFallback, s_proxy.viaProxy, connectFailed,
                                                    connectFailed && FirstIpv4OfDualStackHost(address));
    if (again == ConnectNoMore) {
        return false;
    }
    CloseRequestHandles(*request, *connection, nullptr);
    *request = nullptr;
    *connection = nullptr;
    return OpenAndSend(session, again == ConnectOverIpv4 ? address : kUpdateHost, again == ConnectOverIpv4, limit,
                       path, receiveTimeoutMs, headers, connection, request, &sendFailed, outcome);
}

// Opens a GET request for path on the update host over TLS, sends it with
// headers (nullptr: none) and checks for status 200, or 206 to a request with
// headers (a range), from a host that the machine's roots vouch for. Whatever
// handles were opened are handed back even on failure, so the caller closes
// them on its one cleanup path.
bool OpenAndSendRequest(const wchar_t* path, DWORD receiveTimeoutMs, const wchar_t* headers, HINTERNET* session,
                        HINTERNET* connection, HINTERNET* request, HttpOutcome* outcome)
{
    DWORD status = 0;
    DWORD statusSize = sizeof(status);
    HostTrust trust = HostCertificateNone;
    bool logonAnswered = false;

    *session = OpenSession();
    if (*session == nullptr) {
        return Failed(outcome);
    }
    if (!OpenAndSendWithinLimit(*session, path, receiveTimeoutMs, headers, connection, request, outcome)) {
        return false;
    }
    for (;;) {
        if (!WinHttpReceiveResponse(*request, nullptr)) {
            return Failed(outcome);
        }
        // Judged before anything of the answer is read: a proxy's own answer
        // comes before any TLS, every other one from the host we judge.
        trust = JudgeHostCertificate(*request, &outcome->error, outcome->userRoot, kCertificateNameUnits);
        if (trust == HostCertificateUntrusted) {
            outcome->status = 0;
            return false;
        }
        statusSize = sizeof(status);
        if (!WinHttpQueryHeaders(*request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                 WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX)) {
            return Failed(outcome);
        }
        outcome->status = status;
        // One answer to the proxy's logon request; a second 407 stands.
        if (status != HTTP_STATUS_PROXY_AUTH_REQ || logonAnswered || !AnswerProxyLogon(*request, &outcome->logon)) {
            break;
        }
        logonAnswered = true;
        if (!WinHttpSendRequest(*request, headers != nullptr ? headers : WINHTTP_NO_ADDITIONAL_HEADERS,
                                headers != nullptr ? static_cast<DWORD>(-1L) : 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
            return Failed(outcome);
        }
    }
    // Anything but 200 or the 206 asked for (a 404 page, a proxy's error page) is
    // not the document or the core; nor is one that did not come from the host we judged.
    const bool answered = status == 200 || (headers != nullptr && status == 206);
    if (answered && trust != HostCertificateTrusted) {
        outcome->error = ERROR_WINHTTP_SECURE_FAILURE;
        return false;
    }
    return answered;
}

// Reads the announced body length, if any. False only when a Content-Length is
// present but unreadable: then no body could be proven complete.
bool QueryContentLength(HINTERNET request, bool* known, uint64_t* length)
{
    wchar_t text[64];
    DWORD size = sizeof(text);

    *known = false;
    *length = 0;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                             WINHTTP_NO_HEADER_INDEX)) {
        return GetLastError() == ERROR_WINHTTP_HEADER_NOT_FOUND;
    }
    if (!ParseContentLength(text, length)) {
        return false;
    }
    *known = true;
    return true;
}

// Posts the percentage and then the progress line; the window frees the text.
void PostDownloadProgress(const wchar_t* versionLabel, uint64_t total, uint64_t expectedSize)
{
    wchar_t text[kProgressTextUnits];
    HWND window = g_hwndMain;

    if (window == nullptr || versionLabel == nullptr) {
        return;
    }
    PostMessageW(window, WM_LAUNCHER_PROGRESS, static_cast<WPARAM>(ProgressPercent(total, expectedSize)), 0);
    FormatDownloadProgress(versionLabel, total, expectedSize, text, kProgressTextUnits);
    PostStatusText(window, text);
}

// Writes the body of request to file until it ends or the run is cancelled,
// posting progress on the way; *total counts the bytes written. False, with the
// error in *ended, when a read or a write fails: a failed read is a broken
// transfer (reset, time-out), not the end of the body.
bool ReceiveBody(HINTERNET request, HANDLE file, uint64_t expectedSize, const wchar_t* versionLabel,
                 uint64_t* total, HttpOutcome* ended)
{
    unsigned char chunk[kChunkBytes];
    uint32_t lastReportTick = 0;
    uint32_t now = 0;
    DWORD available = 0;
    DWORD read = 0;
    DWORD written = 0;

    while (g_cancelRequested.load() == 0) {
        available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) {
            return Failed(ended);
        }
        if (available == 0) {
            break;
        }
        read = 0;
        if (!WinHttpReadData(request, chunk, available < kChunkBytes ? available : kChunkBytes, &read)) {
            return Failed(ended);
        }
        if (read == 0) {
            break;
        }
        written = 0;
        if (!WriteFile(file, chunk, read, &written, nullptr) || written != read) {
            return Failed(ended);
        }
        *total += read;
        now = GetTickCount();
        if (ShouldReportProgress(now, lastReportTick, *total, expectedSize)) {
            PostDownloadProgress(versionLabel, *total, expectedSize);
            lastReportTick = now;
        }
    }
    return true;
}

// Reads header (a WINHTTP_QUERY_ value) into text (kValidatorBytes units);
// false when it is absent or longer.
bool QueryHeaderText(HINTERNET request, DWORD header, wchar_t* text)
{
    DWORD size = kValidatorBytes * sizeof(wchar_t);
    return WinHttpQueryHeaders(request, header, WINHTTP_HEADER_NAME_BY_INDEX, text, &size, WINHTTP_NO_HEADER_INDEX) !=
           FALSE;
}

// What the answer to the download request is to the file: the whole file, the
// rest of the bytes range->from asked for, or neither; validator receives the
// answer's strong validator (empty when none).
RangedAnswer JudgeAnswer(HINTERNET request, const DownloadRange& range, uint64_t size, DWORD status,
                         char* validator)
{
    wchar_t etag[kValidatorBytes];
    wchar_t lastModified[kValidatorBytes];
    wchar_t contentRange[kValidatorBytes];
    const bool haveEtag = QueryHeaderText(request, WINHTTP_QUERY_ETAG, etag);
    const bool haveDate = QueryHeaderText(request, WINHTTP_QUERY_LAST_MODIFIED, lastModified);
    const bool strong = TakeStrongValidator(haveEtag ? etag : nullptr, haveDate ? lastModified : nullptr, validator);
    if (range.from == 0) {
        return RangedWhole;
    }
    const bool haveRange = QueryHeaderText(request, WINHTTP_QUERY_CONTENT_RANGE, contentRange);
    return JudgeRangedAnswer(status, haveRange ? contentRange : nullptr, range.validator, strong ? validator : nullptr,
                             range.from, size);
}

// Puts the file's end and pointer at from, where the rest is appended.
bool PlaceAtEnd(HANDLE file, uint64_t from)
{
    LARGE_INTEGER at = {};
    FILE_END_OF_FILE_INFO end = {};
    at.QuadPart = static_cast<LONGLONG>(from);
    end.EndOfFile = at;
    return SetFileInformationByHandle(file, FileEndOfFileInfo, &end, sizeof(end)) &&
           SetFilePointerEx(file, at, nullptr, FILE_BEGIN);
}

}  // namespace

bool HttpFetchToBuffer(const wchar_t* path, char* buffer, uint32_t capacity, HttpOutcome* outcome)
{
    HttpOutcome ended = {};
    HINTERNET session = nullptr;
    HINTERNET connection = nullptr;
    HINTERNET request = nullptr;
    bool lengthKnown = false;
    uint64_t announced = 0;
    uint32_t pos = 0;
    DWORD available = 0;
    DWORD wanted = 0;
    DWORD read = 0;
    bool broken = false;
    bool ok = false;

    if (capacity == 0) {
        return false;
    }
    buffer[0] = '\0';
    if (!OpenAndSendRequest(path, kFetchReceiveTimeoutMs, nullptr, &session, &connection, &request, &ended) ||
        !QueryContentLength(request, &lengthKnown, &announced)) {
        goto cleanup;
    }
    // A document cut off by a broken connection must not pass for a whole one:
    // it could lose its digest and let an unchecked download through.
    while (pos + 1 < capacity) {
        available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) {
            broken = !Failed(&ended);
            break;
        }
        if (available == 0) {
            break;
        }
        wanted = available < capacity - pos - 1 ? available : capacity - pos - 1;
        read = 0;
        if (!WinHttpReadData(request, buffer + pos, wanted, &read)) {
            broken = !Failed(&ended);
            break;
        }
        if (read == 0) {
            break;
        }
        pos += read;
    }
    buffer[pos] = '\0';
    // Short of the announced length without filling the buffer: the body was cut off.
    if (!BodyLengthComplete(lengthKnown, announced, pos) && pos + 1 < capacity) {
        broken = true;
    }
    ok = pos > 0 && !broken;
    ended.bytes = pos;

cleanup:
    CloseRequestHandles(request, connection, session);
    if (outcome != nullptr) {
        *outcome = ended;
    }
    return ok;
}

bool HttpDownloadToFile(const wchar_t* path, HANDLE file, uint64_t expectedSize, const wchar_t* versionLabel,
                        DownloadRange* range, HttpOutcome* outcome, uint64_t minimumBytes)
{
    HttpOutcome ended = {};
    HINTERNET session = nullptr;
    HINTERNET connection = nullptr;
    HINTERNET request = nullptr;
    wchar_t headers[kValidatorBytes + 64];
    char validator[kValidatorBytes];
    RangedAnswer verdict = RangedRefused;
    bool lengthKnown = false;
    uint64_t announced = 0;
    uint64_t total = 0;
    bool ok = false;

    range->refused = false;
    if (range->from > 0) {
        swprintf(headers, sizeof(headers) / sizeof(headers[0]), L"Range: bytes=%llu-\r\nIf-Range: %hs",
                 static_cast<unsigned long long>(range->from), range->validator);
    }
    if (!OpenAndSendRequest(path, kDownloadReceiveTimeoutMs, range->from > 0 ? headers : nullptr, &session,
                            &connection, &request, &ended)) {
        // An answer of its own to a ranged request: the bytes kept are no use.
        range->refused = range->from > 0 && ended.status != 0;
        goto cleanup;
    }
    if (!QueryContentLength(request, &lengthKnown, &announced)) {
        goto cleanup;
    }
    verdict = JudgeAnswer(request, *range, expectedSize, ended.status, validator);
    if (verdict == RangedRefused) {
        range->refused = true;
        goto cleanup;
    }
    // Emptied or cut to the bytes kept only once the answer is known, so an
    // error answer never truncates an earlier file.
    if (verdict == RangedWhole) {
        range->from = 0;
    }
    if (!PlaceAtEnd(file, range->from)) {
        Failed(&ended);
        goto cleanup;
    }
    memcpy(range->validator, validator, sizeof(validator));
    // Progress counts the whole file: a resumed bar starts where it stopped.
    total = range->from;
    if (!ReceiveBody(request, file, expectedSize, versionLabel, &total, &ended)) {
        goto cleanup;
    }
    ok = g_cancelRequested.load() == 0 && total > minimumBytes &&
         BodyLengthComplete(lengthKnown, announced, total - range->from);
    // The caller moves this file over the core. Data still in the cache when the
    // power fails can come back as zeros behind a rename that survived, so the
    // bytes reach the disk first; a file that cannot be flushed is not kept.
    if (ok && !FlushFileBuffers(file)) {
        ok = Failed(&ended);
    }

cleanup:
    CloseRequestHandles(request, connection, session);
    if (outcome != nullptr) {
        ended.bytes = total > range->from ? total - range->from : 0;
        *outcome = ended;
    }
    return ok;
}

bool HttpFastFallback()
{
    return s_fastFallback;
}

bool HttpProxyDecision(ProxyDecision* decision)
{
    if (!s_proxyDecided) {
        return false;
    }
    *decision = s_proxy;
    return true;
}
