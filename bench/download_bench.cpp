// Benchmark helper: one HttpDownloadToFile of the core path from the update host
// into the file named on the command line, timed from inside the process; with
// a byte offset and a validator, the rest of a cut download after that offset.
// Usage: download_bench.exe <destination> <expected size> [<from> <validator>]
// Prints "result=<0|1> bytes=<n> fetched=<n> ms=<t> peak_working_set=<bytes>".
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cwchar>

#include "transfer/http_client.h"

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3 && argc != 5) {
        fwprintf(stderr, L"usage: download_bench <destination> <expected size> [<from> <validator>]\n");
        return 2;
    }
    const unsigned long long expected = _wcstoui64(argv[2], nullptr, 10);
    LARGE_INTEGER frequency;
    LARGE_INTEGER started;
    LARGE_INTEGER finished;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&started);
    DownloadRange range = {};
    HttpOutcome outcome = {};
    if (argc == 5) {
        range.from = _wcstoui64(argv[3], nullptr, 10);
        WideCharToMultiByte(CP_UTF8, 0, argv[4], -1, range.validator, sizeof(range.validator), nullptr, nullptr);
    }
    HANDLE file = CreateFileW(argv[1], GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    const bool ok = file != INVALID_HANDLE_VALUE && HttpDownloadToFile(L"/tovrin-tools-api/v1/bootstrap_exe", file,
                                                                       expected, L"bench", &range, &outcome);
    QueryPerformanceCounter(&finished);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }

    WIN32_FILE_ATTRIBUTE_DATA data = {};
    GetFileAttributesExW(argv[1], GetFileExInfoStandard, &data);
    const unsigned long long bytes = (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof(memory);
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory));
    const double ms = (finished.QuadPart - started.QuadPart) * 1000.0 / frequency.QuadPart;
    printf("result=%d bytes=%llu fetched=%llu ms=%.1f peak_working_set=%llu\n", ok ? 1 : 0, bytes,
           static_cast<unsigned long long>(outcome.bytes), ms, static_cast<unsigned long long>(memory.PeakWorkingSetSize));
    fflush(stdout);
    // Lets the sampler outside read the final high-water mark before the process goes.
    Sleep(300);
    return ok ? 0 : 1;
}
