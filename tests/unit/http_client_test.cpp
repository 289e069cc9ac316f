// The metadata fetch and the core download against the loopback HTTPS update host
// (tests/server/update_server.py), run by tests/server/run_http_client_test.py,
// which starts the host and names its control file, request log and a scratch
// folder in TOVRIN_SERVER_CONTROL, TOVRIN_SERVER_LOG and TOVRIN_TRANSFER_WORK.
#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "shell/launcher_state.h"
#include "transfer/chain_trust.h"
#include "transfer/http_client.h"

namespace {

const wchar_t kMetaPath[] = L"/tovrin-tools-api/v1/bootstrap_meta";
const wchar_t kExePath[] = L"/tovrin-tools-api/v1/bootstrap_exe";

std::wstring EnvPath(const wchar_t* name)
{
    wchar_t value[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(name, value, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(value) : std::wstring();
}

// Tells the host how to answer from now on; renamed into place so that it never
// reads half a scenario.
void SetScenario(const std::string& json)
{
    const std::wstring control = EnvPath(L"TOVRIN_SERVER_CONTROL");
    ASSERT_FALSE(control.empty()) << "run through run_http_client_test.py";
    const std::wstring next = control + L".next";
    HANDLE file = CreateFileW(next.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    const BOOL wrote = WriteFile(file, json.data(), static_cast<DWORD>(json.size()), &written, nullptr);
    CloseHandle(file);
    ASSERT_TRUE(wrote);
    ASSERT_TRUE(MoveFileExW(next.c_str(), control.c_str(), MOVEFILE_REPLACE_EXISTING));
}

// Byte i of a body_size answer.
char PatternByte(size_t i)
{
    return static_cast<char>('a' + i % 26);
}

std::wstring Destination()
{
    return EnvPath(L"TOVRIN_TRANSFER_WORK") + L"\\download.bin";
}

// Size of a file, or -1 when it does not exist.
int64_t FileSize(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return -1;
    }
    return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

void WriteTextFile(const std::wstring& path, const std::string& text)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

std::string ReadTextFile(const std::wstring& path)
{
    std::string text;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return text;
    }
    char block[4096];
    DWORD read = 0;
    while (ReadFile(file, block, sizeof(block), &read, nullptr) && read > 0) {
        text.append(block, read);
    }
    CloseHandle(file);
    return text;
}

// What the download posted to the window, in posting order.
struct Posts {
    std::vector<int> percents;          // every WM_LAUNCHER_PROGRESS
    std::vector<std::wstring> texts;    // every WM_LAUNCHER_STATUS
    std::vector<UINT> order;            // message ids as they arrived
};

// The launcher hands the download a file it opened; these tests name the file.
bool HttpDownloadToFile(const wchar_t* path, const wchar_t* destination, uint64_t expectedSize, const wchar_t* label)
{
    DownloadRange whole = {};
    HANDLE file = CreateFileW(destination, GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    const bool ok = file != INVALID_HANDLE_VALUE && ::HttpDownloadToFile(path, file, expectedSize, label, &whole);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    return ok;
}

struct DownloadCall {
    const wchar_t* destination;
    uint64_t expectedSize;
    bool result;
};

DWORD WINAPI DownloadThread(LPVOID parameter)
{
    DownloadCall* call = static_cast<DownloadCall*>(parameter);
    call->result = HttpDownloadToFile(kExePath, call->destination, call->expectedSize, L"1.6.5.0");
    return 0;
}

// Runs the download on a worker thread, as the launcher does, while this thread
// plays the window: it owns g_hwndMain and collects what is posted to it. With
// cancelOnFirstPost it sets the cancel flag as soon as progress arrives.
bool DownloadWithWindow(const std::wstring& destination, uint64_t expectedSize, Posts* posts,
                        bool cancelOnFirstPost = false)
{
    HWND window = CreateWindowExW(0, L"STATIC", nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    EXPECT_NE(window, nullptr);
    g_hwndMain = window;
    DownloadCall call = {destination.c_str(), expectedSize, false};
    HANDLE thread = CreateThread(nullptr, 0, DownloadThread, &call, 0, nullptr);
    EXPECT_NE(thread, nullptr);
    bool finished = false;
    while (!finished) {
        finished = MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_ALLPOSTMESSAGE) == WAIT_OBJECT_0;
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_LAUNCHER_PROGRESS) {
                posts->percents.push_back(static_cast<int>(msg.wParam));
                if (cancelOnFirstPost) {
                    g_cancelRequested = 1;
                }
            } else if (msg.message == WM_LAUNCHER_STATUS) {
                wchar_t* text = reinterpret_cast<wchar_t*>(msg.lParam);
                posts->texts.push_back(text);
                free(text);
            } else {
                DispatchMessageW(&msg);
                continue;
            }
            posts->order.push_back(msg.message);
        }
    }
    CloseHandle(thread);
    g_hwndMain = nullptr;
    DestroyWindow(window);
    return call.result;
}

// The first MB figure of a progress line ("... 1.4 / 2.9 MB ...").
double ReceivedMegabytes(const std::wstring& text)
{
    const size_t dots = text.find(L"... ");
    return dots == std::wstring::npos ? -1.0 : wcstod(text.c_str() + dots + 4, nullptr);
}

// Every status text must follow its own progress post and name the same percent.
void ExpectProgressPairs(const Posts& posts)
{
    ASSERT_EQ(posts.order.size(), posts.percents.size() + posts.texts.size());
    ASSERT_EQ(posts.percents.size(), posts.texts.size());
    for (size_t i = 0; i < posts.order.size(); ++i) {
        EXPECT_EQ(posts.order[i], i % 2 == 0 ? WM_LAUNCHER_PROGRESS : WM_LAUNCHER_STATUS) << "post " << i;
    }
    for (size_t i = 0; i < posts.texts.size(); ++i) {
        const std::wstring suffix = L"(" + std::to_wstring(posts.percents[i]) + L"%)";
        EXPECT_EQ(posts.texts[i].substr(posts.texts[i].size() - suffix.size()), suffix) << "post " << i;
        EXPECT_EQ(posts.texts[i].rfind(L"Downloading Tovrin Tools v1.6.5.0... ", 0), 0u);
    }
}

class HttpClient : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(EnvPath(L"TOVRIN_TRANSFER_WORK").empty()) << "run through run_http_client_test.py";
        DeleteFileW(Destination().c_str());
        g_cancelRequested = 0;
        g_hwndMain = nullptr;
    }
    void TearDown() override { g_cancelRequested = 0; }
};

TEST_F(HttpClient, FetchKeepsBodyUpToCapacityAndAlwaysTerminates)
{
    struct Case {
        const char* scenario;
        bool result;
        size_t length;      // bytes expected before the terminator
        const char* text;   // exact text, or nullptr for the 'a'..'z' pattern
    } cases[] = {
        {R"({"meta":{"body":"{\"version\": \"1.6.5.0\"}"}})", true, 22, "{\"version\": \"1.6.5.0\"}"},
        {R"({"meta":{"body_size":5000}})", true, 4095, nullptr},
        {R"({"meta":{"body_size":4095}})", true, 4095, nullptr},
        {R"({"meta":{"body_size":4096}})", true, 4095, nullptr},
        {R"({"meta":{"status":404,"body":"no such release"}})", false, 0, ""},
        {R"({"meta":{"status":500,"body":"server error"}})", false, 0, ""},
        {R"({"meta":{"body":""}})", false, 0, ""},
    };
    for (const Case& c : cases) {
        SetScenario(c.scenario);
        char buffer[4096];
        memset(buffer, 'x', sizeof(buffer));
        EXPECT_EQ(HttpFetchToBuffer(kMetaPath, buffer, sizeof(buffer)), c.result) << c.scenario;
        EXPECT_EQ(strlen(buffer), c.length) << c.scenario;
        if (c.text != nullptr) {
            EXPECT_STREQ(buffer, c.text) << c.scenario;
        } else {
            for (size_t i = 0; i < c.length; ++i) {
                ASSERT_EQ(buffer[i], PatternByte(i)) << c.scenario << " at " << i;
            }
        }
    }
}

TEST_F(HttpClient, FetchOfDocumentCutOffByBrokenConnectionFails)
{
    // The digest sits at the end of this document: cut off, it would vanish unnoticed.
    for (const char* scenario : {R"({"meta":{"body_size":3000,"drop_at":1000,"drop":"reset"}})",
                                 R"({"meta":{"body_size":3000,"drop_at":1000,"drop":"close"}})"}) {
        SetScenario(scenario);
        char buffer[4096];
        memset(buffer, 'x', sizeof(buffer));
        EXPECT_FALSE(HttpFetchToBuffer(kMetaPath, buffer, sizeof(buffer))) << scenario;
        EXPECT_LE(strlen(buffer), 1000u) << scenario;
    }
    // A longer document that fills the buffer is still cut at capacity without error.
    SetScenario(R"({"meta":{"body_size":9000,"drop_at":6000,"drop":"close"}})");
    char buffer[4096];
    EXPECT_TRUE(HttpFetchToBuffer(kMetaPath, buffer, sizeof(buffer)));
    EXPECT_EQ(strlen(buffer), 4095u);
}

TEST_F(HttpClient, DownloadNeedsMoreThanOneMillionBytes)
{
    // g_hwndMain stays null: nothing may be posted, and the result must not depend on a window.
    struct Case {
        const char* scenario;
        bool result;
        int64_t size;
    } cases[] = {
        {R"({"exe":{"body_size":1000000}})", false, 1000000},
        {R"({"exe":{"body_size":1000001}})", true, 1000001},
        // Without a Content-Length the body ends with the connection; the floor alone decides.
        {R"({"exe":{"body_size":1200000,"content_length":false}})", true, 1200000},
        {R"({"exe":{"body_size":999999,"content_length":false}})", false, 999999},
    };
    for (const Case& c : cases) {
        SetScenario(c.scenario);
        WriteTextFile(Destination(), std::string(3000000, 'o'));  // an older, longer file is truncated
        EXPECT_EQ(HttpDownloadToFile(kExePath, Destination().c_str(), 0, L"1.6.5.0"), c.result) << c.scenario;
        EXPECT_EQ(FileSize(Destination()), c.size) << c.scenario;
    }
    const std::string body = ReadTextFile(Destination());
    ASSERT_EQ(body.size(), 999999u);
    EXPECT_EQ(body.substr(0, 26), "abcdefghijklmnopqrstuvwxyz");
    EXPECT_EQ(body.back(), PatternByte(999998));
}

TEST_F(HttpClient, DownloadErrorStatusLeavesExistingFileUntouched)
{
    for (const char* scenario : {R"({"exe":{"status":404,"body_size":1200000}})",
                                 R"({"exe":{"status":500,"body_size":1200000}})"}) {
        SetScenario(scenario);
        WriteTextFile(Destination(), "previous download");
        EXPECT_FALSE(HttpDownloadToFile(kExePath, Destination().c_str(), 1200000, L"1.6.5.0")) << scenario;
        EXPECT_EQ(ReadTextFile(Destination()), "previous download") << scenario;
    }
}

TEST_F(HttpClient, DownloadThatCannotBeStoredFails)
{
    SetScenario(R"({"exe":{"body_size":1200000}})");
    const std::wstring missingFolder = EnvPath(L"TOVRIN_TRANSFER_WORK") + L"\\no-such-folder\\download.bin";
    EXPECT_FALSE(HttpDownloadToFile(kExePath, missingFolder.c_str(), 1200000, L"1.6.5.0"));
    // The null device takes every write but refuses the flush (Wine answers
    // error 5): a body that never reached the disk must not count as downloaded.
    EXPECT_FALSE(HttpDownloadToFile(kExePath, L"NUL", 1200000, L"1.6.5.0"));
    // The same body into a real file passes, so only the flush failed above.
    EXPECT_TRUE(HttpDownloadToFile(kExePath, Destination().c_str(), 1200000, L"1.6.5.0"));
}

TEST_F(HttpClient, ConnectionEndingBeforeAnnouncedLengthFails)
{
    // Both leave more than the 1,000,000-byte floor, so only the broken body can fail them.
    for (const char* scenario : {R"({"exe":{"body_size":3000000,"drop_at":2000000,"drop":"reset"}})",
                                 R"({"exe":{"body_size":3000000,"drop_at":2000000,"drop":"close"}})"}) {
        SetScenario(scenario);
        EXPECT_FALSE(HttpDownloadToFile(kExePath, Destination().c_str(), 3000000, L"1.6.5.0")) << scenario;
        // The partial file is left for the caller to remove.
        const int64_t size = FileSize(Destination());
        EXPECT_GT(size, 1000000) << scenario;
        EXPECT_LE(size, 2000000) << scenario;
    }
}

TEST_F(HttpClient, ProgressWithoutExpectedSizeReportsEveryChunkAtZeroPercent)
{
    SetScenario(R"({"exe":{"body_size":2000000}})");
    Posts posts;
    EXPECT_TRUE(DownloadWithWindow(Destination(), 0, &posts));
    ExpectProgressPairs(posts);
    // Each read brings at most 64 KiB, so an unthrottled report per chunk means at least 31 posts.
    EXPECT_GE(posts.texts.size(), (2000000u + 65535u) / 65536u);
    for (size_t i = 0; i < posts.texts.size(); ++i) {
        EXPECT_EQ(posts.percents[i], 0);
        EXPECT_NE(posts.texts[i].find(L" / 0.0 MB (0%)"), std::wstring::npos) << posts.texts[i];
    }
    ASSERT_FALSE(posts.texts.empty());
    EXPECT_EQ(posts.texts.back(), L"Downloading Tovrin Tools v1.6.5.0... 1.9 / 0.0 MB (0%)");
}

TEST_F(HttpClient, ProgressBeyondExpectedSizeStaysAtHundredWhileFigureGrows)
{
    SetScenario(R"({"exe":{"body_size":3000000}})");
    Posts posts;
    EXPECT_TRUE(DownloadWithWindow(Destination(), 1500000, &posts));
    ExpectProgressPairs(posts);
    size_t atHundred = 0;
    double lastFigure = -1.0;
    for (size_t i = 0; i < posts.texts.size(); ++i) {
        if (i > 0) {
            EXPECT_GE(posts.percents[i], posts.percents[i - 1]);
        }
        if (posts.percents[i] == 100) {
            ++atHundred;
            const double figure = ReceivedMegabytes(posts.texts[i]);
            EXPECT_GE(figure, lastFigure) << posts.texts[i];
            lastFigure = figure;
            EXPECT_NE(posts.texts[i].find(L" / 1.4 MB (100%)"), std::wstring::npos) << posts.texts[i];
        }
    }
    // Past the expected size every chunk is reported: at least 1,500,000 bytes in 64 KiB reads.
    EXPECT_GE(atHundred, 1500000u / 65536u);
    ASSERT_FALSE(posts.texts.empty());
    EXPECT_EQ(posts.texts.back(), L"Downloading Tovrin Tools v1.6.5.0... 2.9 / 1.4 MB (100%)");
}

TEST_F(HttpClient, ProgressIsThrottledWhileBelowExpectedSize)
{
    // About 0.8 s of small chunks: without the 80 ms throttle this would be ~146 reports.
    SetScenario(R"({"exe":{"body_size":1200000,"rate":1500000,"chunk":8192}})");
    Posts posts;
    const DWORD started = GetTickCount();
    EXPECT_TRUE(DownloadWithWindow(Destination(), 1200000, &posts));
    const DWORD elapsed = GetTickCount() - started;
    ExpectProgressPairs(posts);
    size_t belowHundred = 0;
    for (int percent : posts.percents) {
        belowHundred += percent < 100 ? 1 : 0;
    }
    EXPECT_GE(belowHundred, 2u);
    EXPECT_LE(belowHundred, elapsed / 80 + 1);
    ASSERT_FALSE(posts.texts.empty());
    EXPECT_EQ(posts.texts.back(), L"Downloading Tovrin Tools v1.6.5.0... 1.1 / 1.1 MB (100%)");
}

TEST_F(HttpClient, CancelFromWindowThreadStopsDownloadAndKeepsPartialFile)
{
    SetScenario(R"({"exe":{"body_size":4000000,"rate":2000000,"chunk":16384}})");
    Posts posts;
    EXPECT_FALSE(DownloadWithWindow(Destination(), 4000000, &posts, true));
    EXPECT_FALSE(posts.percents.empty());
    const int64_t size = FileSize(Destination());
    EXPECT_GT(size, 0);
    EXPECT_LT(size, 4000000);
}

TEST_F(HttpClient, CancelBeforeFirstChunkCreatesEmptyFileAndFails)
{
    SetScenario(R"({"exe":{"body_size":1200000}})");
    g_cancelRequested = 1;
    EXPECT_FALSE(HttpDownloadToFile(kExePath, Destination().c_str(), 1200000, L"1.6.5.0"));
    EXPECT_EQ(FileSize(Destination()), 0);
}

TEST_F(HttpClient, UntrustedCertificateIsRefused)
{
    SetScenario(R"({"certificate":"untrusted","meta":{"body":"{}"},"exe":{"body_size":1200000}})");
    char buffer[4096];
    memset(buffer, 'x', sizeof(buffer));
    EXPECT_FALSE(HttpFetchToBuffer(kMetaPath, buffer, sizeof(buffer)));
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_FALSE(HttpDownloadToFile(kExePath, Destination().c_str(), 1200000, L"1.6.5.0"));
    EXPECT_EQ(FileSize(Destination()), 0);
}

TEST_F(HttpClient, RequestsCarryPathMethodAndUserAgent)
{
    SetScenario(R"({"meta":{"body":"{}"},"exe":{"body_size":1000001}})");
    const std::wstring log = EnvPath(L"TOVRIN_SERVER_LOG");
    ASSERT_FALSE(log.empty());
    DeleteFileW(log.c_str());
    char buffer[4096];
    EXPECT_TRUE(HttpFetchToBuffer(kMetaPath, buffer, sizeof(buffer)));
    EXPECT_TRUE(HttpDownloadToFile(kExePath, Destination().c_str(), 0, L"1.6.5.0"));

    const std::string lines = ReadTextFile(log);
    const size_t firstEnd = lines.find('\n');
    ASSERT_NE(firstEnd, std::string::npos);
    const std::string first = lines.substr(0, firstEnd);
    const std::string second = lines.substr(firstEnd + 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 2) << lines;
    EXPECT_NE(first.find(R"("path": "/tovrin-tools-api/v1/bootstrap_meta")"), std::string::npos) << first;
    EXPECT_NE(second.find(R"("path": "/tovrin-tools-api/v1/bootstrap_exe")"), std::string::npos) << second;
    for (const std::string& line : {first, second}) {
        EXPECT_NE(line.find(R"("method": "GET")"), std::string::npos) << line;
        EXPECT_NE(line.find(R"("user_agent": "TovrinToolsLauncher/1.0")"), std::string::npos) << line;
    }
}

TEST_F(HttpClient, StallInsideBodyPastReceiveTimeoutFails)
{
    // The host pauses longer than the 30 s receive time-out after enough bytes to pass the floor.
    SetScenario(R"({"exe":{"body_size":1500000,"stall_at":1100000,"stall_seconds":45}})");
    const DWORD started = GetTickCount();
    EXPECT_FALSE(HttpDownloadToFile(kExePath, Destination().c_str(), 1500000, L"1.6.5.0"));
    const DWORD elapsed = GetTickCount() - started;
    EXPECT_GE(elapsed, 25000u);
    EXPECT_LT(elapsed, 44000u);
    EXPECT_EQ(FileSize(Destination()), 1100000);
}

// Wine's SSL policy passes a chain that stops short of a machine root: the chain's own status counts too.
TEST(HostCertificate, TrustedOnlyWithPolicyAndChainStatusClearButForUnknownRevocation)
{
    EXPECT_TRUE(ChainTrustedForHost(0, CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION));
    EXPECT_FALSE(ChainTrustedForHost(0, CERT_TRUST_IS_PARTIAL_CHAIN));
    EXPECT_FALSE(ChainTrustedForHost(0, CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_OFFLINE_REVOCATION));
    EXPECT_FALSE(ChainTrustedForHost(static_cast<uint32_t>(CERT_E_CN_NO_MATCH), 0));
}

// Run by the driver once the host has stopped: nothing listens on the port.
TEST_F(HttpClient, ClosedPortFailsWithoutCreatingFile)
{
    char buffer[4096];
    memset(buffer, 'x', sizeof(buffer));
    EXPECT_FALSE(HttpFetchToBuffer(kMetaPath, buffer, sizeof(buffer)));
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_FALSE(HttpDownloadToFile(kExePath, Destination().c_str(), 1200000, L"1.6.5.0"));
    EXPECT_EQ(FileSize(Destination()), 0);
}

}  // namespace
