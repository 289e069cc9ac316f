// How the connection to the update host is tried within its limit.
#include "transfer/connect_plan.h"

uint32_t AttemptConnectLimitMs(bool fastFallback, bool viaProxy, uint32_t limitMs)
{
    return fastFallback || viaProxy ? limitMs : limitMs / 2;
}

ConnectAgain SecondConnectAttempt(bool fastFallback, bool viaProxy, bool connectFailed, bool dualStack)
{
    if (fastFallback || viaProxy || !connectFailed) {
        return ConnectNoMore;
    }
    return dualStack ? ConnectOverIpv4 : ConnectByName;
}
