// The proxy decision of a run as a record, the rules that pick a proxy from the
// user's settings and match the bypass list, and the one-line description;
// free of Win32 so it is tested natively and under Wine alike.
#pragma once

#include <cstddef>
#include <cstdint>

// Units of a proxy name or a script address, terminator included.
constexpr size_t kProxyTextUnits = 260;

// Which of the user's settings decided the route.
enum ProxyKind {
    ProxyKindNone,        // no user setting: WinHTTP's own machine setting, as always
    ProxyKindNamed,       // the proxy named in the user's Internet settings
    ProxyKindAutoConfig,  // the auto-config script at the address the user gave
    ProxyKindAutoDetect,  // the auto-config script that automatic detection found
};

struct ProxyDecision {
    ProxyKind kind;
    bool viaProxy;                   // false: straight to the host
    bool bypassed;                   // the bypass list names the host (kind Named)
    wchar_t proxy[kProxyTextUnits];  // host:port of the proxy (also the bypassed named one), or empty
    wchar_t script[kProxyTextUnits]; // the script's address for kind AutoConfig
    uint32_t scriptError;            // why detection or a script gave no answer, 0 if it did
};

// What became of a proxy's request for the user's Windows logon (a 407
// asking for NTLM or Negotiate).
enum ProxyLogon {
    ProxyLogonNotAsked,
    ProxyLogonAnswered,  // the user's logon was offered
    ProxyLogonWithheld,  // asked, but the proxy is not one to have it
};

// Whether a proxy chosen this way may have the user's logon: only one that the
// user or their administrator named (the named proxy, or the answer of the
// auto-config script at the address they gave), never one that automatic
// detection found, which whoever answers the network's DHCP or DNS can name.
bool ProxyMayHaveLogon(ProxyKind kind);

// Picks the proxy for HTTPS from a proxy list as the user's settings or a
// script give it: "host:port", "http://host:port/", "https=host:port;http=..."
// or several entries of which the first is taken. A list with per-scheme entries
// but none for https names no proxy for it. False when no proxy is named or it
// does not fit units.
bool SelectHttpsProxy(const wchar_t* list, wchar_t* proxy, size_t units);

// True when the bypass list names host on port: entries separated by ';', ','
// or white space, each a host pattern with '*' wildcards, optionally after
// "https://" and before ":port"; "<local>" names every host without a dot.
bool HostBypassesProxy(const wchar_t* bypassList, const wchar_t* host, uint16_t port);

// The auto-proxy flags (WinHTTP's values) for the script found by detection
// (detect) or at the address the user gave: the system's auto-proxy service runs
// it, never this elevated process; where the service cannot, there is no answer.
uint32_t AutoProxyFlags(bool detect);

// "proxy: <route> (<why>)" in at most units units. Any user name or password in
// the proxy or the script address, and the address's query, are left out.
void FormatProxyDecision(const ProxyDecision* decision, wchar_t* text, size_t units);
