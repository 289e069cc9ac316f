// Judging the update host's certificate chain from its status values.
#include "transfer/chain_trust.h"

namespace {

// CERT_TRUST_REVOCATION_STATUS_UNKNOWN and CERT_TRUST_IS_OFFLINE_REVOCATION (wincrypt.h).
constexpr uint32_t kRevocationNotKnown = 0x40 | 0x1000000;

}  // namespace

bool ChainTrustedForHost(uint32_t policyError, uint32_t chainErrors)
{
    // The chain's own status counts as well: not every chain engine's SSL policy
    // fails a chain that stops short of a trusted root (Wine's passes it).
    return policyError == 0 && (chainErrors & ~kRevocationNotKnown) == 0;
}
