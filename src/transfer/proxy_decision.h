// Where the user's proxy settings send the requests to the update host.
#pragma once

#include <cstdint>

#include "transfer/proxy_rules.h"

// Decides the route to host:port over HTTPS from the user's Internet settings:
// automatic detection, then the auto-config script's address, then the named
// proxy and its bypass list. Without any of them the decision is kind None, and
// the requests go as WinHTTP's machine setting says. Always yields a decision.
void DecideProxy(const wchar_t* host, uint16_t port, ProxyDecision* decision);
