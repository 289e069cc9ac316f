// Judging the update host's certificate chain from its status values; free of
// Win32 so it is tested natively and under Wine alike.
#pragma once

#include <cstdint>

// True when a chain makes the host trusted: the SSL policy passed it (policyError,
// the policy status's dwError, is 0) and its own error status (CERT_TRUST_* bits)
// is clear. Whether a certificate was revoked is not asked, so an unknown or
// offline revocation status does not count: a start without a way to the issuers
// still works.
bool ChainTrustedForHost(uint32_t policyError, uint32_t chainErrors);
