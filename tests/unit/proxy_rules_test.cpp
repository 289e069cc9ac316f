// Picking the proxy for HTTPS, the bypass list and the decision's description.
#include <gtest/gtest.h>

#include <windows.h>
#include <winhttp.h>

#include <cwchar>

#include "transfer/connect_plan.h"
#include "transfer/proxy_rules.h"

TEST(ProxyRules, HttpsProxyIsPickedFromEveryFormOfList)
{
    struct Case {
        const wchar_t* list;
        const wchar_t* proxy;  // nullptr: no proxy for HTTPS
    } cases[] = {
        {L"proxy.corp:8080", L"proxy.corp:8080"},
        {L"http://proxy.corp:8080/", L"proxy.corp:8080"},
        {L"http=web:80;HTTPS=secure:8443;ftp=files:21", L"secure:8443"},
        {L"http=web:80;ftp=files:21", nullptr},  // nothing named for HTTPS
        {L"first:3128; second:3128", L"first:3128"},
        {nullptr, nullptr},
    };
    for (const Case& c : cases) {
        wchar_t proxy[kProxyTextUnits] = L"untouched";
        EXPECT_EQ(SelectHttpsProxy(c.list, proxy, kProxyTextUnits), c.proxy != nullptr) << (c.list ? c.list : L"null");
        if (c.proxy != nullptr) {
            EXPECT_STREQ(proxy, c.proxy);
        }
    }
    wchar_t small[8];
    EXPECT_FALSE(SelectHttpsProxy(L"proxy.corp:8080", small, 8));
}

TEST(ProxyRules, BypassListNamesHostsByPatternPortAndLocal)
{
    struct Case {
        const wchar_t* list;
        const wchar_t* host;
        bool bypassed;
    } cases[] = {
        {L"<local>", L"localhost", true},
        {L"<local>", L"updates.example.com", false},
        {L"*.EXAMPLE.com", L"updates.example.com", true},
        {L"*.example.com", L"example.com", false},
        {L"intranet, 10.*;updates.*.com", L"updates.example.com", true},
        {L"updates.example.com:443", L"updates.example.com", true},
        {L"updates.example.com:8443", L"updates.example.com", false},
        {L"http://updates.example.com", L"updates.example.com", false},
        {nullptr, L"localhost", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(HostBypassesProxy(c.list, c.host, 443), c.bypassed) << (c.list ? c.list : L"null") << " " << c.host;
    }
}

TEST(ProxyRules, DecisionLineNamesRouteAndCauseWithoutSecrets)
{
    struct Case {
        ProxyKind kind;
        bool viaProxy;
        bool bypassed;
        const wchar_t* proxy;
        const wchar_t* script;
        uint32_t scriptError;
        const wchar_t* line;
    } cases[] = {
        {ProxyKindNone, false, false, L"", L"", 12180,
         L"proxy: system default (no proxy from the user's settings; no script answer, error 12180)"},
        {ProxyKindNamed, true, false, L"alice:secret@proxy:3128", L"", 0,
         L"proxy: proxy:3128 (named in the user's settings)"},
        {ProxyKindNamed, false, true, L"proxy:3128", L"", 0,
         L"proxy: direct (the user's bypass list names the host)"},
        {ProxyKindAutoConfig, true, false, L"proxy:3128", L"http://bob:pw@wpad.corp/proxy.pac?token=abc", 0,
         L"proxy: proxy:3128 (auto-config script http://wpad.corp/proxy.pac)"},
        {ProxyKindAutoDetect, false, false, L"", L"", 0, L"proxy: direct (automatically detected script)"},
        {ProxyKindNamed, true, false, L"proxy:3128", L"", ERROR_WINHTTP_AUTO_PROXY_SERVICE_ERROR,
         L"proxy: proxy:3128 (named in the user's settings; the script could not be run out of process, error 12178)"},
    };
    for (const Case& c : cases) {
        ProxyDecision decision = {c.kind, c.viaProxy, c.bypassed, {}, {}, c.scriptError};
        wchar_t line[256];
        std::wcscpy(decision.proxy, c.proxy);
        std::wcscpy(decision.script, c.script);
        FormatProxyDecision(&decision, line, 256);
        EXPECT_STREQ(line, c.line);
    }
    ProxyDecision named = {ProxyKindNamed, true, false, L"proxy:3128", L"", 0};
    wchar_t cut[12];
    FormatProxyDecision(&named, cut, 12);
    EXPECT_STREQ(cut, L"proxy: prox");
}

// Automatic detection lets whoever answers the network's DHCP or DNS name the proxy.
TEST(ProxyRules, OnlyAProxyTheUsersSettingsNameGetsTheUsersLogon)
{
    EXPECT_TRUE(ProxyMayHaveLogon(ProxyKindNamed));
    EXPECT_TRUE(ProxyMayHaveLogon(ProxyKindAutoConfig));
    EXPECT_FALSE(ProxyMayHaveLogon(ProxyKindAutoDetect));
    EXPECT_FALSE(ProxyMayHaveLogon(ProxyKindNone));
    // Nor does the script run in the launcher: only the auto-proxy service runs it.
    EXPECT_EQ(AutoProxyFlags(true), DWORD{WINHTTP_AUTOPROXY_AUTO_DETECT | WINHTTP_AUTOPROXY_RUN_OUTPROCESS_ONLY});
    EXPECT_EQ(AutoProxyFlags(false), DWORD{WINHTTP_AUTOPROXY_CONFIG_URL | WINHTTP_AUTOPROXY_RUN_OUTPROCESS_ONLY});
}

TEST(ConnectPlan, WithoutFastFallbackADirectConnectionGetsTwoAttemptsInTheSameLimit)
{
    struct Case {
        bool fastFallback, viaProxy, connectFailed, dualStack;
        uint32_t limitMs;
        ConnectAgain again;
    } cases[] = {
        {true, false, true, true, 7000, ConnectNoMore},  // WinHTTP races the families itself
        {false, true, true, true, 7000, ConnectNoMore},  // the proxy connects, not us
        {false, false, false, true, 3500, ConnectNoMore},  // connected: an answer's failure is not retried
        {false, false, true, true, 3500, ConnectOverIpv4},
        {false, false, true, false, 3500, ConnectByName},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(AttemptConnectLimitMs(c.fastFallback, c.viaProxy, 7000), c.limitMs);
        EXPECT_EQ(SecondConnectAttempt(c.fastFallback, c.viaProxy, c.connectFailed, c.dualStack), c.again);
    }
}
