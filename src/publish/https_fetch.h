// HTTPS GETs with libcurl as the launcher makes them: its User-Agent,
// certificate and host name checked, HTTPS only (also for redirects),
// time-outs like the launcher's. Small answers into memory; the executable
// streamed into a file and its SHA-256.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "publish/sha256_hex.h"

constexpr size_t kHeaderValueBytes = 512;

// The answer's headers that say how it may be cached and resumed; empty when
// absent (present empty counts as absent).
struct AnswerHeaders {
    char etag[kHeaderValueBytes];
    char lastModified[kHeaderValueBytes];
    char cacheControl[kHeaderValueBytes];
    char expires[kHeaderValueBytes];
    char contentRange[kHeaderValueBytes];
};

// Fetches url into body, cut off (and failed) beyond limit bytes. caFile names
// PEM certificates to trust instead of the system's (nullptr: the system's).
// True when a response arrived; status is then its HTTP status and headers
// (when given) its headers. On false, error says why.
bool HttpsGet(const char* url, const char* caFile, uint64_t limit, std::vector<unsigned char>* body, long* status,
              char* error, size_t capacity, AnswerHeaders* headers = nullptr);

// Like HttpsGet, asking as the launcher resumes a cut download: for the bytes
// from from on ("Range: bytes=from-") when validator still names the file
// ("If-Range").
bool HttpsGetRest(const char* url, const char* caFile, uint64_t from, const char* validator, uint64_t limit,
                  std::vector<unsigned char>* body, long* status, AnswerHeaders* headers, char* error,
                  size_t capacity);

// Like HttpsGet, but writes the body to the open file and hashes it on the
// way, so no more than one chunk is held in memory; size and sha256 describe
// the body. With showProgress, a progress line on stderr follows the download.
bool HttpsDownload(const char* url, const char* caFile, uint64_t limit, int file, bool showProgress,
                   uint64_t* size, char sha256[kSha256HexBytes], long* status, char* error, size_t capacity,
                   AnswerHeaders* headers = nullptr);
