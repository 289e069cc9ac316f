// HTTPS GET into memory with libcurl.
#include "publish/https_fetch.h"

#include <curl/curl.h>

#include <cstdio>

namespace {

struct Sink {
    std::vector<unsigned char>* body;
    uint64_t limit;
    bool overflow;
};

size_t Receive(char* data, size_t size, size_t count, void* context)
{
    Sink* sink = static_cast<Sink*>(context);
    const size_t bytes = size * count;
    if (sink->body->size() + bytes > sink->limit) {
        sink->overflow = true;
        return 0;  // makes libcurl stop with a write error
    }
    sink->body->insert(sink->body->end(), data, data + bytes);
    return bytes;
}

}  // namespace

bool HttpsGet(const char* url, const char* caFile, uint64_t limit, std::vector<unsigned char>* body, long* status,
              char* error, size_t capacity)
{
    char curlError[CURL_ERROR_SIZE] = "";
    Sink sink = {body, limit, false};
    CURLcode result = CURLE_OK;
    bool ok = false;
    CURL* curl = curl_easy_init();
    body->clear();
    *status = 0;
    if (curl == nullptr) {
        snprintf(error, capacity, "libcurl could not start");
        return false;
    }
    curl_easy_setopt(curl, CURLOPT_URL, url);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (caFile != nullptr) {
        curl_easy_setopt(curl, CURLOPT_CAINFO, caFile);
    }
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "tovrin-publish/1.0");
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 15L);
    // Like the launcher's receive time-out: fail when the body stalls for 30 s.
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 30L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, curlError);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Receive);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);

    result = curl_easy_perform(curl);
    if (sink.overflow) {
        snprintf(error, capacity, "%s: the answer is longer than %llu bytes", url, static_cast<unsigned long long>(limit));
        goto cleanup;
    }
    if (result != CURLE_OK) {
        snprintf(error, capacity, "%s: %s", url, curlError[0] != '\0' ? curlError : curl_easy_strerror(result));
        goto cleanup;
    }
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, status);
    ok = true;

cleanup:
    curl_easy_cleanup(curl);
    return ok;
}
