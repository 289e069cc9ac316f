// The proxy decision from the user's Internet settings. WinHTTP's automatic
// proxy mode is not used: its choice cannot be read back for the record, and
// Wine accepts it but ignores the user's settings.
#include "transfer/proxy_decision.h"

#include <windows.h>
#include <winhttp.h>

#include <cwchar>

#include "transfer/update_contract.h"

namespace {

void FreeText(wchar_t* text)
{
    if (text != nullptr) {
        GlobalFree(text);
    }
}

// Asks the script (found by detection, or at scriptAddress) for the route to url.
// True with the decision filled in when the script answered; otherwise (also when
// the auto-proxy service could not run it) the error is kept and the decision is
// left to the next setting.
bool AskScript(const wchar_t* url, const wchar_t* scriptAddress, ProxyKind kind, ProxyDecision* decision)
{
    HINTERNET session = nullptr;
    WINHTTP_AUTOPROXY_OPTIONS options = {};
    WINHTTP_PROXY_INFO answer = {};
    bool ok = false;

    session = WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (session == nullptr) {
        decision->scriptError = GetLastError();
        goto cleanup;
    }
    // The script is code of whoever the settings or the network name: only the
    // system's auto-proxy service may run it, never this elevated process.
    options.dwFlags = AutoProxyFlags(scriptAddress == nullptr);
    if (scriptAddress != nullptr) {
        options.lpszAutoConfigUrl = scriptAddress;
    } else {
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    // The user's logon goes to the proxy alone, never to whoever serves the script.
    options.fAutoLogonIfChallenged = FALSE;
    if (!WinHttpGetProxyForUrl(session, url, &options, &answer)) {
        decision->scriptError = GetLastError();
        goto cleanup;
    }
    decision->kind = kind;
    decision->scriptError = 0;
    decision->viaProxy = answer.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY &&
                         SelectHttpsProxy(answer.lpszProxy, decision->proxy, kProxyTextUnits);
    if (!decision->viaProxy) {
        decision->proxy[0] = L'\0';
    }
    if (scriptAddress != nullptr) {
        wcsncpy(decision->script, scriptAddress, kProxyTextUnits - 1);
        decision->script[kProxyTextUnits - 1] = L'\0';
    }
    ok = true;

cleanup:
    FreeText(answer.lpszProxyBypass);
    FreeText(answer.lpszProxy);
    if (session != nullptr) {
        WinHttpCloseHandle(session);
    }
    return ok;
}

}  // namespace

void DecideProxy(const wchar_t* host, uint16_t port, ProxyDecision* decision)
{
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG settings = {};
    wchar_t url[kProxyTextUnits];

    *decision = ProxyDecision{};
    decision->kind = ProxyKindNone;
    if (!WinHttpGetIEProxyConfigForCurrentUser(&settings)) {
        return;
    }
    swprintf(url, kProxyTextUnits, L"https://%ls:%u/", host, static_cast<unsigned>(port));
    if (settings.fAutoDetect && AskScript(url, nullptr, ProxyKindAutoDetect, decision)) {
        goto cleanup;
    }
    if (settings.lpszAutoConfigUrl != nullptr && settings.lpszAutoConfigUrl[0] != L'\0' &&
        AskScript(url, settings.lpszAutoConfigUrl, ProxyKindAutoConfig, decision)) {
        goto cleanup;
    }
    if (SelectHttpsProxy(settings.lpszProxy, decision->proxy, kProxyTextUnits)) {
        decision->kind = ProxyKindNamed;
        decision->bypassed = HostBypassesProxy(settings.lpszProxyBypass, host, port);
        decision->viaProxy = !decision->bypassed;
    }

cleanup:
    FreeText(settings.lpszProxyBypass);
    FreeText(settings.lpszProxy);
    FreeText(settings.lpszAutoConfigUrl);
}
