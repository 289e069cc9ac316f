// Benchmark helper: hashes the file named on the command line with
// ComputeFileSha256Hex a given number of times (default 3) and prints the
// digest and the fastest time in seconds, so Wine's start-up is not counted.
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "transfer/file_digest.h"

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) {
        fwprintf(stderr, L"usage: digest_file <path> [repeats]\n");
        return 2;
    }
    const int repeats = argc > 2 ? _wtoi(argv[2]) : 3;
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    char digest[kSha256HexBytes] = "";
    double best = -1.0;
    for (int i = 0; i < repeats; ++i) {
        LARGE_INTEGER start;
        LARGE_INTEGER end;
        QueryPerformanceCounter(&start);
        const bool ok = ComputeFileSha256Hex(argv[1], digest);
        QueryPerformanceCounter(&end);
        if (!ok) {
            fwprintf(stderr, L"cannot hash %ls\n", argv[1]);
            return 1;
        }
        const double seconds = static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart;
        if (best < 0 || seconds < best) {
            best = seconds;
        }
    }
    printf("%s %.6f\n", digest, best);
    return 0;
}
