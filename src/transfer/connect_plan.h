// How the connection to the update host is tried within its limit where
// WinHTTP has no IPv6 fast fallback; free of Win32 so it is tested natively and
// under Wine alike.
#pragma once

#include <cstdint>

enum ConnectAgain {
    ConnectNoMore,    // one attempt had the whole limit, or it did not fail to connect
    ConnectByName,    // the host's name again: a second chance after lost attempts
    ConnectOverIpv4,  // the host's first IPv4 address: its IPv6 path may be silent
};

// The connect limit of each attempt: all of limitMs for a single attempt; half
// where WinHTTP has no fast fallback (fastFallback false) and the request goes
// directly to the host, whose first address may be an IPv6 one that never answers.
uint32_t AttemptConnectLimitMs(bool fastFallback, bool viaProxy, uint32_t limitMs);

// What follows a first attempt whose sending failed (sendFailed) with a
// time-out or a connection that could not be made (connectFailed): with the
// limit split, a second attempt, over IPv4 when the host has addresses of both
// families (dualStack).
ConnectAgain SecondConnectAttempt(bool fastFallback, bool viaProxy, bool connectFailed, bool dualStack);
