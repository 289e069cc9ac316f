// HTTPS GETs with libcurl as the launcher makes them: its User-Agent,
// certificate and host name checked, HTTPS only (also for redirects),
// time-outs like the launcher's. Small answers into memory; the executable
// streamed into a file and its SHA-256.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "publish/sha256_hex.h"

// Fetches url into body, cut off (and failed) beyond limit bytes. caFile names
// PEM certificates to trust instead of the system's (nullptr: the system's).
// True when a response arrived; status is then its HTTP status. On false,
// error says why.
bool HttpsGet(const char* url, const char* caFile, uint64_t limit, std::vector<unsigned char>* body, long* status,
              char* error, size_t capacity);

// Like HttpsGet, but writes the body to the open file and hashes it on the
// way, so no more than one chunk is held in memory; size and sha256 describe
// the body. With showProgress, a progress line on stderr follows the download.
bool HttpsDownload(const char* url, const char* caFile, uint64_t limit, int file, bool showProgress,
                   uint64_t* size, char sha256[kSha256HexBytes], long* status, char* error, size_t capacity);
