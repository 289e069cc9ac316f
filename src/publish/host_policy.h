// What a served release's headers promise the launcher: how long a cache may
// keep the document, and whether a cut download of the executable resumes.
#pragma once

#include <cstddef>
#include <cstdint>

// Describes into text how long a cache may keep the document, from its
// Cache-Control and Expires values (nullptr: absent). False when a cache may
// serve it without asking the host: an old document beside a new executable.
bool DescribeDocumentCaching(const char* cacheControl, const char* expires, char* text, size_t capacity);

// The executable's validator as the launcher takes it from its answer: its
// strong ETag, else its Last-Modified (nullptr: absent). False, with
// validator empty, when there is none.
bool ExecutableValidator(const char* etag, const char* lastModified, char* validator);

// Describes into text whether the host resumes a cut download as the launcher
// asks for it: validator is the strong validator of the executable's whole
// answer (empty: none), and status, contentRange, etag and lastModified
// (nullptr: absent) the answer to "Range: bytes=from-" with "If-Range:
// validator" for an executable of size bytes. True when the launcher would
// append that answer.
bool DescribeResume(const char* validator, long status, const char* contentRange, const char* etag,
                    const char* lastModified, uint64_t from, uint64_t size, char* text, size_t capacity);
