// tovrin-publish: stages a core executable as a release for the update host,
// checks that a running host serves a consistent release, and prints the pins
// of code-signing certificates.
#include <curl/curl.h>

#include <cstdio>
#include <cstring>

#include "publish/release_check.h"
#include "publish/release_stage.h"
#include "publish/signer_pin.h"

namespace {

constexpr size_t kMaxSigners = 16;

int Usage()
{
    fputs("usage: tovrin-publish stage [--signer PIN]... [--allow-no-timestamp] [--allow-same-or-older] CORE.exe ROOT\n"
          "       tovrin-publish check URL [--cacert FILE] [--signer PIN]... [--host NAME[:PORT] | --launcher EXE]\n"
          "       tovrin-publish pin FILE\n"
          "\n"
          "stage  checks CORE.exe and writes ROOT/tovrin-tools-api/v1/bootstrap_exe and\n"
          "       ROOT/tovrin-tools-api/v1/bootstrap_meta, the executable first; one stage\n"
          "       of a folder at a time. Refuses a version not greater than the one ROOT\n"
          "       publishes unless --allow-same-or-older is given. With --signer, refuses a\n"
          "       signature without a trusted time stamp unless --allow-no-timestamp is given.\n"
          "check  fetches both files from the update host at URL (https://host[:port]) as\n"
          "       the launcher does and verifies size, SHA-256 and file version against the\n"
          "       document. --host or --launcher (a launcher exe) confirms that URL is the\n"
          "       host and port that launcher was built for.\n"
          "pin    prints the pin (SHA-256 of the public key) of a certificate (PEM or DER)\n"
          "       or of the signer of an Authenticode-signed exe.\n"
          "--signer PIN  the core must be Authenticode-signed by a signer with this pin\n"
          "       (repeat it to allow several keys), the signature intact and carrying every\n"
          "       certificate between the signer's and its root; whether that root is one\n"
          "       this machine has is only reported.\n",
          stderr);
    return 2;
}

// Takes "--signer PIN" at argv[*i]; false (usage) when the pin is missing,
// malformed or one too many.
bool TakeSigner(int argc, char** argv, int* i, const char** signers, size_t* count)
{
    if (*i + 1 >= argc || *count == kMaxSigners) {
        return false;
    }
    if (!IsPinText(argv[*i + 1])) {
        fprintf(stderr, "tovrin-publish: %s is not a pin (64 hexadecimal digits; see tovrin-publish pin)\n",
                argv[*i + 1]);
        return false;
    }
    signers[(*count)++] = argv[++*i];
    return true;
}

int Stage(int argc, char** argv)
{
    const char* signers[kMaxSigners] = {};
    StageOptions options = {signers, 0, false, stderr, false};
    char message[kStageMessageBytes];
    int i = 2;
    for (; i < argc && strncmp(argv[i], "--", 2) == 0; ++i) {
        if (strcmp(argv[i], "--signer") == 0) {
            if (!TakeSigner(argc, argv, &i, signers, &options.signerCount)) {
                return Usage();
            }
        } else if (strcmp(argv[i], "--allow-same-or-older") == 0) {
            options.allowSameOrOlder = true;
        } else if (strcmp(argv[i], "--allow-no-timestamp") == 0) {
            options.allowNoTimestamp = true;
        } else {
            return Usage();
        }
    }
    if (argc - i != 2) {
        return Usage();
    }
    const bool ok = StageRelease(argv[i], argv[i + 1], options, message, sizeof(message));
    fprintf(ok ? stdout : stderr, "tovrin-publish: %s\n", message);
    return ok ? 0 : 1;
}

int Check(int argc, char** argv)
{
    const char* signers[kMaxSigners] = {};
    CheckOptions options = {};
    options.signers = signers;
    bool ok = false;
    for (int i = 2; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (strcmp(argv[i], "--cacert") == 0 && hasValue && options.caFile == nullptr) {
            options.caFile = argv[++i];
        } else if (strcmp(argv[i], "--signer") == 0) {
            if (!TakeSigner(argc, argv, &i, signers, &options.signerCount)) {
                return Usage();
            }
        } else if (strcmp(argv[i], "--host") == 0 && hasValue && options.host == nullptr &&
                   options.launcher == nullptr) {
            options.host = argv[++i];
        } else if (strcmp(argv[i], "--launcher") == 0 && hasValue && options.host == nullptr &&
                   options.launcher == nullptr) {
            options.launcher = argv[++i];
        } else if (argv[i][0] != '-' && options.url == nullptr) {
            options.url = argv[i];
        } else {
            return Usage();
        }
    }
    if (options.url == nullptr) {
        return Usage();
    }
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        fputs("tovrin-publish: libcurl could not start\n", stderr);
        return 1;
    }
    ok = CheckRelease(options, stdout, stderr);
    curl_global_cleanup();
    return ok ? 0 : 1;
}

int Pin(const char* path)
{
    char pin[kPinBytes];
    char error[1024];
    if (!FilePin(path, pin, error, sizeof(error))) {
        fprintf(stderr, "tovrin-publish: %s\n", error);
        return 1;
    }
    printf("%s\n", pin);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 4 && strcmp(argv[1], "stage") == 0) {
        return Stage(argc, argv);
    }
    if (argc >= 3 && strcmp(argv[1], "check") == 0) {
        return Check(argc, argv);
    }
    if (argc == 3 && strcmp(argv[1], "pin") == 0) {
        return Pin(argv[2]);
    }
    return Usage();
}
