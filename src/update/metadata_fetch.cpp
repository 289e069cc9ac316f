// The metadata request's thread and what it leaves for the run.
#include "update/metadata_fetch.h"

#include <cstring>

namespace {

struct MetadataFetch {
    HANDLE thread;
    bool ok;
    HttpOutcome outcome;
    char document[kMetaCapacity];
};
MetadataFetch s_fetch;

DWORD WINAPI FetchThread(LPVOID)
{
    s_fetch.ok = HttpFetchToBuffer(kMetaPath, s_fetch.document, kMetaCapacity, &s_fetch.outcome);
    return 0;
}

}  // namespace

void StartMetadataFetch()
{
    s_fetch.thread = CreateThread(nullptr, 0, FetchThread, nullptr, 0, nullptr);
    if (s_fetch.thread == nullptr) {
        FetchThread(nullptr);
    }
}

bool WaitForMetadata(char* document, HttpOutcome* outcome)
{
    if (s_fetch.thread != nullptr) {
        WaitForSingleObject(s_fetch.thread, INFINITE);
        CloseHandle(s_fetch.thread);
        s_fetch.thread = nullptr;
    }
    memcpy(document, s_fetch.document, kMetaCapacity);
    *outcome = s_fetch.outcome;
    return s_fetch.ok;
}
