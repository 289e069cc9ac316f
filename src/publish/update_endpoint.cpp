// The update host and port a launcher was built for.
#include "publish/update_endpoint.h"

#include <curl/curl.h>
#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "publish/file_bytes.h"
#include "update/pe_version.h"

namespace {

constexpr uint32_t kRcDataType = 10;  // RT_RCDATA
constexpr long kHttpsPort = 443;

}  // namespace

bool ParseEndpoint(const char* text, size_t length, char host[kHostBytes], long* port)
{
    size_t hostLength = length;
    *port = kHttpsPort;
    const void* colon = memrchr(text, ':', length);
    if (colon != nullptr) {
        hostLength = static_cast<size_t>(static_cast<const char*>(colon) - text);
        long value = 0;
        size_t i = hostLength + 1;
        for (; i < length && text[i] >= '0' && text[i] <= '9' && value <= 65535; ++i) {
            value = value * 10 + (text[i] - '0');
        }
        if (i == hostLength + 1 || i != length || value < 1 || value > 65535) {
            return false;
        }
        *port = value;
    }
    if (hostLength == 0 || hostLength >= kHostBytes) {
        return false;
    }
    for (size_t i = 0; i < hostLength; ++i) {
        if (text[i] <= ' ' || text[i] == '/' || static_cast<unsigned char>(text[i]) >= 0x7F) {
            return false;
        }
    }
    memcpy(host, text, hostLength);
    host[hostLength] = '\0';
    return true;
}

bool ReadLauncherEndpoint(const char* exePath, char host[kHostBytes], long* port, char* error, size_t capacity)
{
    std::vector<unsigned char> exe;
    const unsigned char* data = nullptr;
    size_t length = 0;
    const char* problem = nullptr;
    char reason[512];
    if (!ReadWholeFile(exePath, &exe, reason, sizeof(reason))) {
        snprintf(error, capacity, "cannot read %s: %s", exePath, reason);
        return false;
    }
    if (!ReadPeResource(exe.data(), exe.size(), kRcDataType, kEndpointResourceId, &data, &length, &problem)) {
        snprintf(error, capacity, "%s %s; it is not a launcher that names its update host", exePath, problem);
        return false;
    }
    if (!ParseEndpoint(reinterpret_cast<const char*>(data), length, host, port)) {
        snprintf(error, capacity, "%s names no update host a launcher could use", exePath);
        return false;
    }
    return true;
}

bool UrlHasEndpoint(const char* url, const char* host, long port, char* error, size_t capacity)
{
    char* urlHost = nullptr;
    char* urlPort = nullptr;
    bool ok = false;
    CURLU* parsed = curl_url();
    if (parsed == nullptr || curl_url_set(parsed, CURLUPART_URL, url, 0) != CURLUE_OK ||
        curl_url_get(parsed, CURLUPART_HOST, &urlHost, 0) != CURLUE_OK ||
        curl_url_get(parsed, CURLUPART_PORT, &urlPort, CURLU_DEFAULT_PORT) != CURLUE_OK) {
        snprintf(error, capacity, "%s is not a URL with a host", url);
        goto cleanup;
    }
    if (strcasecmp(urlHost, host) != 0 || strtol(urlPort, nullptr, 10) != port) {
        snprintf(error, capacity, "%s is host %s port %s, but the launcher is built for host %s port %ld", url,
                 urlHost, urlPort, host, port);
        goto cleanup;
    }
    ok = true;

cleanup:
    curl_free(urlPort);
    curl_free(urlHost);
    curl_url_cleanup(parsed);
    return ok;
}
