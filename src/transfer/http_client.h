// The two HTTPS GET requests to the update host: the metadata fetch into memory
// and the core download into a file with progress posts and cancellation.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "transfer/download_resume.h"
#include "transfer/proxy_rules.h"
#include "transfer/update_contract.h"

// Units of a certificate's name in an outcome, terminator included.
constexpr size_t kCertificateNameUnits = 128;

// How one request ended, for whoever reports on the run: the error code of the
// call that failed (0 when none did), the HTTP status (0 when none arrived or
// the host's certificate was not trusted), the body bytes received, a proxy's
// request for the user's logon, and the user's own root that alone vouched for
// a host the machine does not trust.
struct HttpOutcome {
    uint32_t error;
    uint32_t status;
    uint64_t bytes;
    ProxyLogon logon;  // whether a proxy asked for the user's logon, and got it
    wchar_t userRoot[kCertificateNameUnits];  // empty unless only the user's store trusted the host
};

// Fetches path from the update host into buffer. At most capacity - 1 bytes are
// kept (a longer body is cut there) and a NUL always follows them, so a failed
// fetch leaves an empty text. True when the status was 200 and at least one byte
// arrived. outcome, when given, receives how the request ended.
bool HttpFetchToBuffer(const wchar_t* path, char* buffer, uint32_t capacity, HttpOutcome* outcome = nullptr);

// A download that may go on where an earlier one stopped.
struct DownloadRange {
    uint64_t from;                    // in: bytes at the file's start whose rest is asked for (0: the whole
                                      // file); out: where the answer's body was written from
    char validator[kValidatorBytes];  // in: the If-Range value when from > 0; out: the strong validator of
                                      // the bytes in the file (empty when none: they cannot be resumed)
    bool refused;                     // out: a ranged request got neither the rest nor the whole file
};

// Downloads path from the update host into file (open for reading and writing),
// posting progress to g_hwndMain and polling g_cancelRequested after each chunk.
// With range->from > 0 it asks for the rest with Range and If-Range: a 206 that
// is the rest of the same file is appended at from, a 200 is written from the
// start; the file is cut or emptied only then, so an error answer never
// truncates it. expectedSize (0 when unknown) is the published size: it feeds
// the progress line, which names versionLabel (none posted without one) and
// counts the whole file, and a 206 must end there. True when the body ended
// normally, was not shorter than an announced Content-Length, the run was not
// cancelled and more than minimumBytes are in the file, flushed to disk. The file is neither closed
// nor deleted here. outcome, when given, receives how the request ended (its
// bytes: those fetched now).
bool HttpDownloadToFile(const wchar_t* path, HANDLE file, uint64_t expectedSize, const wchar_t* versionLabel,
                        DownloadRange* range, HttpOutcome* outcome = nullptr,
                        uint64_t minimumBytes = kMinimumCoreBytes);

// Whether the run's requests have WinHTTP's IPv6 fast fallback (false before
// the first): without it a direct connection gets two attempts within the
// connect limit, the second over IPv4 for a host with addresses of both families.
bool HttpFastFallback();

// Both requests of a run take the route decided from the user's proxy settings
// at the first of them. True, with that decision, once it is made.
bool HttpProxyDecision(ProxyDecision* decision);
