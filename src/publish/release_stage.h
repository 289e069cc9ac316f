// Staging a release: the core executable and its metadata document written
// into a web root, checked first so that an inconsistent release is refused.
#pragma once

#include <cstddef>
#include <cstdio>

#include "transfer/update_contract.h"


// Room for StageRelease's message.
constexpr size_t kStageMessageBytes = 2048;

struct StageOptions {
    const char* const* signers;  // pins; the core must be signed by one of them
    size_t signerCount;          // 0: any core, signed or not
    bool allowSameOrOlder;       // publish a version not greater than the published one
    FILE* notes;                 // where a wait for another stage is told (may be nullptr)
    bool allowNoTimestamp;       // publish a signed core whose signature has no trusted time stamp
    const char* signerCaFile;    // PEM roots the signer's chain may lead to (--ca-file; may be nullptr)
    const char* tsaCaFile;       // PEM certificates of trusted time-stamp authorities (--tsa-ca-file; may be nullptr)
    const char* launcher;        // a launcher exe staged with the core (--launcher; may be nullptr)
};

// Copies the core at corePath into root's release folder and checks the copy:
// refuses it when it is no Windows program the launcher can read the version
// of and start, is 1,000,000 bytes or smaller, is not signed by one of the
// signers (when given; CheckCoreSigner says what its chain must meet, and the
// signature must also carry a trusted time stamp unless allowed), or (unless
// allowed) its version is not greater than the one the folder publishes now;
// and publishes it under root (a folder, made when only its parent exists):
// the executable first, the document last, each written under a unique
// temporary name and renamed into place, one stage of a folder at a time.
// Folders and files are readable by the web server whatever the umask. With
// options.launcher, that launcher is checked as the core is (more than 65,536
// bytes, and its version above the launcher the folder publishes now) and
// published with it, before it; the document then names both.
// message says what was published, or why nothing was.
bool StageRelease(const char* corePath, const char* root, const StageOptions& options, char* message,
                  size_t capacity);
