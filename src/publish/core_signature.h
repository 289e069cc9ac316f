// Who signed a core: the Authenticode signature of an executable, checked by
// OpenSSL for what the launcher relies on: that it is intact and made by a
// pinned key (see certificate_pin.h for pins).
#pragma once

#include <cstddef>
#include <cstdint>

// What a signature must meet besides being intact.
struct SignerRules {
    const char* const* pins;  // the leaf signer must have one of these
    size_t pinCount;
    const char* caFile;       // PEM roots the chain may lead to besides this machine's (may be nullptr)
    const char* tsaCaFile;    // PEM certificates time-stamp authorities may chain to besides this
                              // machine's roots (may be nullptr)
};

// What a signature check found besides its verdict, for the operator.
struct SignerFacts {
    char subject[256];     // the signer's certificate subject
    char chain[1024];      // where its chain ends, and whether that is known to be complete
    bool timestamped;      // carries a trusted RFC 3161 time stamp
    char timestamp[1024];  // when and by whom it was stamped, or why no stamp counts
    char expiry[32];       // the signer's certificate expires on this day (YYYY-MM-DD, UTC)
};

// True when the executable of size bytes open as file carries an Authenticode
// signature that is intact (the digest over the file is the one signed, and
// the signer's signature over it verifies), whose leaf signer has one of the
// pins, and whose chain is carried (the launcher checks offline and cannot
// fetch a missing certificate). The chain is known to be complete only when
// it leads to a root this machine has or one in caFile: with caFile, any
// other chain is refused; without, only one that carries the signer's
// certificate alone, and facts says where the others end. On false, error
// says why, starting with a verb ("is not signed", "is signed by ...").
bool CheckCoreSigner(int file, uint64_t size, const SignerRules& rules, SignerFacts* facts, char* error,
                     size_t capacity);
