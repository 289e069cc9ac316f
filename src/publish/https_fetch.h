// One HTTPS GET into memory with libcurl: certificate and host name checked,
// HTTPS only (also for redirects), time-outs like the launcher's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Fetches url into body, cut off (and failed) beyond limit bytes. caFile names
// PEM certificates to trust instead of the system's (nullptr: the system's).
// True when a response arrived; status is then its HTTP status. On false,
// error says why.
bool HttpsGet(const char* url, const char* caFile, uint64_t limit, std::vector<unsigned char>* body, long* status,
              char* error, size_t capacity);
