// The checks of the installed core that run beside the metadata request: its
// SHA-256 and, with signer pins, its signature, each on a thread of its own.
#pragma once

#include <windows.h>

#include <atomic>

#include "transfer/digest_text.h"

// One check of the core: its thread, the handle it reads through, its result.
struct CoreCheck {
    HANDLE thread = nullptr;
    HANDLE file = INVALID_HANDLE_VALUE;
    bool passed = false;
};

// Nothing is checked until StartCoreChecks, and nothing passes.
struct CoreChecks {
    CoreCheck digest;
    CoreCheck signature;              // thread and file stay empty without signer pins
    const wchar_t* path = nullptr;    // the core's path, for the signature check
    std::atomic<LONG> stop{0};        // ends the digest early once its result will not be used
    bool fromRecord = false;          // the digest came from the record of an earlier run's check
    bool signerFromRecord = false;    // and so did the signature's signer
    char digestText[kSha256HexBytes] = "";
    uint8_t signer[kSha256Bytes] = {};  // the key whose signature passed here or in the record; else all zero
};

// Starts, for the file open as core (read access, held without write sharing),
// its SHA-256 and, when checkSignature, whether the build's signer pins accept
// its signature. Each reads through a handle of its own to that very file,
// reopened from core (never by name), so neither moves the other's file
// position. A check that a record still holding for core answers is not made.
// A check whose thread cannot be started runs at once; without a core
// (INVALID_HANDLE_VALUE) neither passes.
void StartCoreChecks(HANDLE core, const wchar_t* path, bool checkSignature, CoreChecks* checks);

// Waits for the digest: true with its text in digest (kSha256HexBytes).
bool CoreDigest(CoreChecks* checks, char* digest);

// Waits for the signature check: true when the signature was accepted.
bool CoreSigned(CoreChecks* checks);

// Records the checks of core, when they were made here and passed: waits for
// both, so it is for once the decision has waited for them. False when there
// was nothing new to record or the record could not be written.
bool RecordCoreChecks(HANDLE core, CoreChecks* checks);

// Whether a record still holding for the file open as core names a signer
// that one of the build's pins accepts.
bool RecordedSignerPinned(HANDLE core);

// Stops the digest, waits for both checks and closes their handles, so that
// nothing of them keeps the core's file open; checks that never started, or
// have ended already, are skipped.
void EndCoreChecks(CoreChecks* checks);
