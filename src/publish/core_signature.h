// Who signed a core: the Authenticode signature of an executable, checked by
// OpenSSL for what the launcher relies on: that it is intact and made by a
// pinned key (see signer_pin.h for pins).
#pragma once

#include <cstddef>
#include <cstdint>

// What a signature check found besides its verdict, for the operator.
struct SignerFacts {
    char subject[256];    // the signer's certificate subject
    char chain[768];      // whether its chain reaches a root this machine has
    bool timestamped;     // carries an RFC 3161 time stamp that verifies
    char timestamp[512];  // when and by whom it was stamped, or why no stamp counts
    char expiry[32];      // the signer's certificate expires on this day (YYYY-MM-DD, UTC)
};

// True when the executable of size bytes open as file carries an Authenticode
// signature that is intact (the digest over the file is the one signed, and
// the signer's signature over it verifies), whose leaf signer has one of the
// pins, and that carries every certificate between the signer's and its root
// (the launcher checks offline and cannot fetch one). Whether the chain
// reaches a root this machine has is only reported, in facts. On false,
// error says why, starting with a verb ("is not signed", "is signed by ...").
bool CheckCoreSigner(int file, uint64_t size, const char* const* pins, size_t pinCount, SignerFacts* facts,
                     char* error, size_t capacity);
