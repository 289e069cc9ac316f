// tovrin-publish: stages a core executable as a release for the update host,
// and checks that a running host serves a consistent release.
#include <curl/curl.h>

#include <cstdio>
#include <cstring>

#include "publish/release_check.h"
#include "publish/release_stage.h"

namespace {

int Usage()
{
    fputs("usage: tovrin-publish stage CORE.exe ROOT\n"
          "       tovrin-publish check URL [--cacert FILE]\n"
          "\n"
          "stage  checks CORE.exe and writes ROOT/tovrin-tools-api/v1/bootstrap_exe and\n"
          "       ROOT/tovrin-tools-api/v1/bootstrap_meta, the executable first.\n"
          "check  fetches both files from the update host at URL (https://host[:port])\n"
          "       and verifies size, SHA-256 and file version against the document.\n",
          stderr);
    return 2;
}

int Stage(const char* corePath, const char* root)
{
    char message[kStageMessageBytes];
    const bool ok = StageRelease(corePath, root, message, sizeof(message));
    fprintf(ok ? stdout : stderr, "tovrin-publish: %s\n", message);
    return ok ? 0 : 1;
}

int Check(int argc, char** argv)
{
    const char* url = nullptr;
    const char* caFile = nullptr;
    bool ok = false;
    for (int i = 2; i < argc; ++i) {
        if (strcmp(argv[i], "--cacert") == 0 && i + 1 < argc && caFile == nullptr) {
            caFile = argv[++i];
        } else if (argv[i][0] != '-' && url == nullptr) {
            url = argv[i];
        } else {
            return Usage();
        }
    }
    if (url == nullptr) {
        return Usage();
    }
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        fputs("tovrin-publish: libcurl could not start\n", stderr);
        return 1;
    }
    ok = CheckRelease(url, caFile, stdout, stderr);
    curl_global_cleanup();
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && strcmp(argv[1], "stage") == 0) {
        return Stage(argv[2], argv[3]);
    }
    if (argc >= 3 && strcmp(argv[1], "check") == 0) {
        return Check(argc, argv);
    }
    return Usage();
}
