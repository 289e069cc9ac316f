// Checking a served release: both files fetched from the update host as the
// launcher fetches them and compared the way the launcher would use them.
#pragma once

#include <cstddef>
#include <cstdio>

struct CheckOptions {
    const char* url;             // https://host[:port]
    const char* caFile;          // certificates to trust instead of the system's (may be nullptr)
    const char* const* signers;  // pins; the served core must be signed by one of them
    size_t signerCount;
    const char* signerCaFile;    // PEM roots the signer's chain may lead to (may be nullptr)
    const char* tsaCaFile;       // PEM certificates of trusted time-stamp authorities (may be nullptr)
    const char* host;            // NAME[:PORT] the URL must name (may be nullptr)
    const char* launcher;        // a launcher exe whose update host the URL must name (may be nullptr)
};

// Fetches <url>/tovrin-tools-api/v1/bootstrap_meta and .../bootstrap_exe and
// compares version, digest and size (and the signer, and the host, when
// asked). Prints what it found to out, and each problem on its own line to
// err; the executable's download progress goes to stderr when it is a
// terminal. True only when the release is consistent.
bool CheckRelease(const CheckOptions& options, FILE* out, FILE* err);
