// The update host and port a launcher was built for, and whether a URL names
// them: from "NAME[:PORT]" text, or from the resource the launcher exe carries.
#pragma once

#include <cstddef>

// The launcher's RCDATA resource holding "host:port" (res/launcher.rc).
constexpr unsigned kEndpointResourceId = 1;
constexpr size_t kHostBytes = 256;

// "NAME" or "NAME:PORT" (port 1 to 65535, 443 when absent) of length bytes.
bool ParseEndpoint(const char* text, size_t length, char host[kHostBytes], long* port);

// The endpoint a launcher exe was built for. On false, error says why.
bool ReadLauncherEndpoint(const char* exePath, char host[kHostBytes], long* port, char* error, size_t capacity);

// True when url names host and port (443 when the URL gives none); host names
// compare without regard to case. Otherwise error says what differs.
bool UrlHasEndpoint(const char* url, const char* host, long port, char* error, size_t capacity);
