// tovrin-publish: stages a core executable as a release for the update host,
// checks that a running host serves a consistent release, and prints the pins
// of code-signing certificates and the Authenticode digests of executables.
#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "publish/authenticode.h"
#include "publish/release_check.h"
#include "publish/release_stage.h"
#include "publish/certificate_pin.h"

namespace {

constexpr size_t kMaxSigners = 16;

int Usage()
{
    fputs("usage: tovrin-publish stage [--signer PIN]... [--ca-file FILE] [--tsa-ca-file FILE] [--allow-no-timestamp]\n"
          "                           [--allow-same-or-older] CORE.exe ROOT\n"
          "       tovrin-publish check URL [--cacert FILE] [--signer PIN]... [--ca-file FILE] [--tsa-ca-file FILE]\n"
          "                           [--host NAME[:PORT] | --launcher EXE]\n"
          "       tovrin-publish pin FILE\n"
          "       tovrin-publish digest FILE...\n"
          "\n"
          "stage  checks CORE.exe and writes ROOT/tovrin-tools-api/v1/bootstrap_exe and\n"
          "       ROOT/tovrin-tools-api/v1/bootstrap_meta, the executable first; one stage\n"
          "       of a folder at a time. Refuses a version not greater than the one ROOT\n"
          "       publishes unless --allow-same-or-older is given. With --signer, refuses a\n"
          "       signature without a trusted time stamp unless --allow-no-timestamp is given.\n"
          "check  fetches both files from the update host at URL (https://host[:port]) as\n"
          "       the launcher does and verifies size, SHA-256 and file version against the\n"
          "       document. --cacert names the CA certificates of the host's TLS certificate.\n"
          "       --host or --launcher (a launcher exe) confirms that URL is the host and\n"
          "       port that launcher was built for.\n"
          "pin    prints the pin (SHA-256 of the public key) of a certificate (PEM or DER),\n"
          "       of a PKCS#12 key file's certificate (its password in TOVRIN_PFX_PASSWORD)\n"
          "       or of the signer of an Authenticode-signed exe.\n"
          "digest prints the Authenticode SHA-256 of each exe (\"DIGEST  FILE\"): what a\n"
          "       signature covers, the same for a signed exe and the build it was made from.\n"
          "--signer PIN  the core must be Authenticode-signed by a signer with this pin\n"
          "       (repeat it to allow several keys), the signature intact and carrying the\n"
          "       certificates between the signer's and its root. That the chain is complete\n"
          "       is checked only when it leads to a root this machine has or --ca-file\n"
          "       gives; without one, a signature carrying the signer's certificate alone is\n"
          "       refused and where the others end is reported.\n"
          "--ca-file FILE  PEM roots the signer's chain must lead to if it reaches none of\n"
          "       this machine's (with --signer); the first certificate missing is named.\n"
          "--tsa-ca-file FILE  PEM certificates of time-stamp authorities to trust besides\n"
          "       this machine's roots (with --signer); a time stamp counts only when its\n"
          "       authority chains to one of them for time stamping.\n",
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
    uint8_t pin[kSha256Bytes];
    if (!ParseSignerPin(argv[*i + 1], pin)) {
        fprintf(stderr, "tovrin-publish: %s is not a pin (64 hexadecimal digits; see tovrin-publish pin)\n",
                argv[*i + 1]);
        return false;
    }
    signers[(*count)++] = argv[++*i];
    return true;
}

// Takes "OPTION FILE" at argv[*i] once; false (usage) when FILE is missing or
// the option was given before.
bool TakeFile(int argc, char** argv, int* i, const char** file)
{
    if (*i + 1 >= argc || *file != nullptr) {
        return false;
    }
    *file = argv[++*i];
    return true;
}

// What reading an option at argv[*i] came to.
enum OptionRead { OptionOther, OptionTaken, OptionRefused };

// --signer, --ca-file and --tsa-ca-file, which stage and check share.
OptionRead TakeSignerOption(int argc, char** argv, int* i, const char** signers, size_t* signerCount,
                            const char** caFile, const char** tsaCaFile)
{
    bool taken = false;
    if (strcmp(argv[*i], "--signer") == 0) {
        taken = TakeSigner(argc, argv, i, signers, signerCount);
    } else if (strcmp(argv[*i], "--ca-file") == 0) {
        taken = TakeFile(argc, argv, i, caFile);
    } else if (strcmp(argv[*i], "--tsa-ca-file") == 0) {
        taken = TakeFile(argc, argv, i, tsaCaFile);
    } else {
        return OptionOther;
    }
    return taken ? OptionTaken : OptionRefused;
}

// The root files only shape the signer check, so they mean nothing without it.
bool RootFilesNeedSigner(const char* caFile, const char* tsaCaFile, size_t signerCount)
{
    if ((caFile != nullptr || tsaCaFile != nullptr) && signerCount == 0) {
        fputs("tovrin-publish: --ca-file and --tsa-ca-file apply to the signature check; give --signer too\n",
              stderr);
        return false;
    }
    return true;
}

int Stage(int argc, char** argv)
{
    const char* signers[kMaxSigners] = {};
    StageOptions options = {signers, 0, false, stderr, false, nullptr, nullptr};
    char message[kStageMessageBytes];
    int i = 2;
    for (; i < argc && strncmp(argv[i], "--", 2) == 0; ++i) {
        const OptionRead signer =
            TakeSignerOption(argc, argv, &i, signers, &options.signerCount, &options.signerCaFile, &options.tsaCaFile);
        if (signer == OptionRefused) {
            return Usage();
        }
        if (signer == OptionTaken) {
            continue;
        }
        if (strcmp(argv[i], "--allow-same-or-older") == 0) {
            options.allowSameOrOlder = true;
        } else if (strcmp(argv[i], "--allow-no-timestamp") == 0) {
            options.allowNoTimestamp = true;
        } else {
            return Usage();
        }
    }
    if (argc - i != 2 || !RootFilesNeedSigner(options.signerCaFile, options.tsaCaFile, options.signerCount)) {
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
        const OptionRead signer =
            TakeSignerOption(argc, argv, &i, signers, &options.signerCount, &options.signerCaFile, &options.tsaCaFile);
        if (signer == OptionRefused) {
            return Usage();
        }
        if (signer == OptionTaken) {
            continue;
        }
        if (strcmp(argv[i], "--cacert") == 0 && hasValue && options.caFile == nullptr) {
            options.caFile = argv[++i];
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
    if (options.url == nullptr ||
        !RootFilesNeedSigner(options.signerCaFile, options.tsaCaFile, options.signerCount)) {
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
    if (!FilePin(path, getenv("TOVRIN_PFX_PASSWORD"), pin, error, sizeof(error))) {
        fprintf(stderr, "tovrin-publish: %s\n", error);
        return 1;
    }
    printf("%s\n", pin);
    return 0;
}

// The Authenticode SHA-256 of the executable at path as 64 lowercase digits;
// false with error saying why.
bool PrintDigest(const char* path)
{
    struct stat status;
    PeImageLayout layout = {};
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    char hex[kSha256HexBytes];
    const char* problem = "cannot be read";
    bool ok = false;
    const int file = open(path, O_RDONLY | O_CLOEXEC);
    if (file < 0 || fstat(file, &status) != 0 || !S_ISREG(status.st_mode)) {
        goto cleanup;
    }
    if (!ReadAuthenticodeLayout(file, static_cast<uint64_t>(status.st_size), &layout, &problem)) {
        goto cleanup;
    }
    problem = "cannot be read";
    if (!AuthenticodeDigest(file, layout, EVP_sha256(), digest, &length) || length != kSha256Bytes) {
        goto cleanup;
    }
    FormatSha256Hex(digest, hex);
    printf("%s  %s\n", hex, path);
    ok = true;

cleanup:
    if (!ok) {
        fprintf(stderr, "tovrin-publish: %s %s\n", path, problem);
    }
    if (file >= 0) {
        close(file);
    }
    return ok;
}

int Digest(int argc, char** argv)
{
    bool ok = true;
    for (int i = 2; i < argc; ++i) {
        ok = PrintDigest(argv[i]) && ok;
    }
    return ok ? 0 : 1;
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
    if (argc >= 3 && strcmp(argv[1], "digest") == 0) {
        return Digest(argc, argv);
    }
    return Usage();
}
