// HTTPS GETs with libcurl, into memory or streamed into a file.
#include "publish/https_fetch.h"

#include <curl/curl.h>
#include <openssl/evp.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "transfer/digest_text.h"
#include "transfer/update_contract.h"

namespace {

struct Sink {
    std::vector<unsigned char>* body;  // in memory, or else:
    int file;
    EVP_MD_CTX* digest;
    uint64_t received;
    uint64_t limit;
    bool overflow;
    bool writeFailed;
    int writeError;
};

bool WriteAll(int file, const char* data, size_t bytes)
{
    while (bytes > 0) {
        const ssize_t written = write(file, data, bytes);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        data += written;
        bytes -= static_cast<size_t>(written);
    }
    return true;
}

size_t Receive(char* data, size_t size, size_t count, void* context)
{
    Sink* sink = static_cast<Sink*>(context);
    const size_t bytes = size * count;
    if (sink->received + bytes > sink->limit) {
        sink->overflow = true;
        return 0;  // makes libcurl stop with a write error
    }
    if (sink->body != nullptr) {
        sink->body->insert(sink->body->end(), data, data + bytes);
    } else if (!WriteAll(sink->file, data, bytes) || EVP_DigestUpdate(sink->digest, data, bytes) != 1) {
        sink->writeFailed = true;
        sink->writeError = errno;
        return 0;
    }
    sink->received += bytes;
    return bytes;
}

// Keeps the headers of AnswerHeaders from each header line; a status line
// (a redirect's answer came before) starts them afresh.
size_t ReceiveHeader(char* data, size_t size, size_t count, void* context)
{
    AnswerHeaders* headers = static_cast<AnswerHeaders*>(context);
    const size_t bytes = size * count;
    const struct {
        const char* name;
        char* value;
    } kept[] = {{"etag", headers->etag}, {"last-modified", headers->lastModified},
                {"cache-control", headers->cacheControl}, {"expires", headers->expires},
                {"content-range", headers->contentRange}};
    if (bytes >= 5 && strncmp(data, "HTTP/", 5) == 0) {
        memset(headers, 0, sizeof(*headers));
        return bytes;
    }
    for (const auto& header : kept) {
        const size_t length = strlen(header.name);
        if (bytes <= length || strncasecmp(data, header.name, length) != 0 || data[length] != ':') {
            continue;
        }
        size_t start = length + 1;
        size_t end = bytes;
        while (start < end && (data[start] == ' ' || data[start] == '\t')) {
            ++start;
        }
        while (end > start && (data[end - 1] == '\r' || data[end - 1] == '\n' || data[end - 1] == ' ')) {
            --end;
        }
        snprintf(header.value, kHeaderValueBytes, "%.*s", static_cast<int>(end - start), data + start);
    }
    return bytes;
}

struct Progress {
    double lastShown;  // monotonic seconds
    bool shown;
};

double Now()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// At most five lines a second, rewritten in place.
int ShowProgress(void* context, curl_off_t total, curl_off_t received, curl_off_t, curl_off_t)
{
    Progress* progress = static_cast<Progress*>(context);
    const double now = Now();
    if (received == 0 || (progress->shown && now - progress->lastShown < 0.2 && received != total)) {
        return 0;
    }
    const double megabytes = static_cast<double>(received) / 1048576.0;
    if (total > 0) {
        fprintf(stderr, "\rdownloading the executable: %.1f of %.1f MB (%d%%)   ", megabytes,
                static_cast<double>(total) / 1048576.0, static_cast<int>(received * 100 / total));
    } else {
        fprintf(stderr, "\rdownloading the executable: %.1f MB   ", megabytes);
    }
    progress->lastShown = now;
    progress->shown = true;
    return 0;
}

// The request: HTTPS only, also when redirected, the host's certificate
// checked, and time-outs like the launcher's.
void SetRequest(CURL* curl, const char* url, const char* caFile, Sink* sink, Progress* progress,
                const curl_slist* asked, AnswerHeaders* headers, char curlError[CURL_ERROR_SIZE])
{
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
    curl_easy_setopt(curl, CURLOPT_USERAGENT, kUserAgentText);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 15L);
    // Like the launcher's receive time-out: fail when the body stalls for 30 s.
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 30L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, curlError);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Receive);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, sink);
    if (asked != nullptr) {
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, asked);
    }
    if (headers != nullptr) {
        memset(headers, 0, sizeof(*headers));
        curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, ReceiveHeader);
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, headers);
    }
    if (progress != nullptr) {
        curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, ShowProgress);
        curl_easy_setopt(curl, CURLOPT_XFERINFODATA, progress);
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    }
}

// Whether the transfer ended with the whole answer kept; otherwise error says
// why, with a hint for a host certificate that does not verify.
bool Received(const char* url, const char* caFile, const Sink& sink, CURLcode result, const char* curlError,
              char* error, size_t capacity)
{
    const char* reason = curlError[0] != '\0' ? curlError : curl_easy_strerror(result);
    if (sink.overflow) {
        snprintf(error, capacity, "%s: the answer is longer than %llu bytes", url,
                 static_cast<unsigned long long>(sink.limit));
        return false;
    }
    if (sink.writeFailed) {
        snprintf(error, capacity, "%s: cannot keep the answer: %s", url, strerror(sink.writeError));
        return false;
    }
    if (result == CURLE_PEER_FAILED_VERIFICATION && caFile == nullptr) {
        snprintf(error, capacity, "%s: %s (the host's certificate does not lead to a root this machine trusts; "
                 "when it comes from a private CA, give that CA's certificate with --cacert FILE)", url, reason);
        return false;
    }
    if (result == CURLE_PEER_FAILED_VERIFICATION) {
        snprintf(error, capacity, "%s: %s (the host's certificate does not lead to a CA certificate in --cacert %s)",
                 url, reason, caFile);
        return false;
    }
    if (result != CURLE_OK) {
        snprintf(error, capacity, "%s: %s", url, reason);
        return false;
    }
    return true;
}

bool Get(const char* url, const char* caFile, Sink* sink, Progress* progress, const curl_slist* asked,
         AnswerHeaders* headers, long* status, char* error, size_t capacity)
{
    char curlError[CURL_ERROR_SIZE] = "";
    CURL* curl = curl_easy_init();
    *status = 0;
    if (curl == nullptr) {
        snprintf(error, capacity, "libcurl could not start");
        return false;
    }
    SetRequest(curl, url, caFile, sink, progress, asked, headers, curlError);
    const CURLcode result = curl_easy_perform(curl);
    if (progress != nullptr && progress->shown) {
        fputc('\n', stderr);
    }
    const bool ok = Received(url, caFile, *sink, result, curlError, error, capacity);
    if (ok) {
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, status);
    }
    curl_easy_cleanup(curl);
    return ok;
}

}  // namespace

bool HttpsGet(const char* url, const char* caFile, uint64_t limit, std::vector<unsigned char>* body, long* status,
              char* error, size_t capacity, AnswerHeaders* headers)
{
    Sink sink = {body, -1, nullptr, 0, limit, false, false, 0};
    body->clear();
    return Get(url, caFile, &sink, nullptr, nullptr, headers, status, error, capacity);
}

bool HttpsGetRest(const char* url, const char* caFile, uint64_t from, const char* validator, uint64_t limit,
                  std::vector<unsigned char>* body, long* status, AnswerHeaders* headers, char* error,
                  size_t capacity)
{
    char range[64];
    char condition[kHeaderValueBytes + 16];
    Sink sink = {body, -1, nullptr, 0, limit, false, false, 0};
    curl_slist* asked = nullptr;
    curl_slist* added = nullptr;
    bool ok = false;
    body->clear();
    snprintf(range, sizeof(range), "Range: bytes=%llu-", static_cast<unsigned long long>(from));
    snprintf(condition, sizeof(condition), "If-Range: %s", validator);
    asked = curl_slist_append(nullptr, range);
    added = asked != nullptr ? curl_slist_append(asked, condition) : nullptr;
    if (added == nullptr) {
        snprintf(error, capacity, "libcurl could not make the request's headers");
    } else {
        asked = added;
        ok = Get(url, caFile, &sink, nullptr, asked, headers, status, error, capacity);
    }
    curl_slist_free_all(asked);
    return ok;
}

bool HttpsDownload(const char* url, const char* caFile, uint64_t limit, int file, bool showProgress,
                   uint64_t* size, char sha256[kSha256HexBytes], long* status, char* error, size_t capacity,
                   AnswerHeaders* headers)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestSize = 0;
    Progress progress = {0.0, false};
    bool ok = false;
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    Sink sink = {nullptr, file, context, 0, limit, false, false, 0};
    sha256[0] = '\0';
    if (context == nullptr || EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1) {
        snprintf(error, capacity, "libcrypto could not start SHA-256");
        goto cleanup;
    }
    if (!Get(url, caFile, &sink, showProgress ? &progress : nullptr, nullptr, headers, status, error, capacity)) {
        goto cleanup;
    }
    if (EVP_DigestFinal_ex(context, digest, &digestSize) != 1 || digestSize != 32) {
        snprintf(error, capacity, "libcrypto could not finish SHA-256");
        goto cleanup;
    }
    FormatSha256Hex(digest, sha256);
    *size = sink.received;
    ok = true;

cleanup:
    EVP_MD_CTX_free(context);
    return ok;
}
