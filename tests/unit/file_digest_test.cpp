// File digest through CNG, checked against well-known vectors and sha256sum.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>

#include "sample_files.h"
#include "transfer/file_digest.h"

namespace {

// A fresh folder in the prefix's temporary folder, removed with its files.
class DigestFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        folder_ = std::wstring(temp) + L"tovrin_digest_" + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(folder_.c_str(), nullptr);
    }
    void TearDown() override
    {
        for (const std::wstring& file : files_) {
            DeleteFileW(file.c_str());
        }
        RemoveDirectoryW(folder_.c_str());
    }
    std::wstring Write(const wchar_t* name, const std::string& bytes)
    {
        const std::wstring path = folder_ + L"\\" + name;
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_NE(file, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        if (!bytes.empty()) {
            WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        }
        CloseHandle(file);
        files_.push_back(path);
        return path;
    }
    std::wstring folder_;
    std::vector<std::wstring> files_;
};

std::string Digest(const std::wstring& path)
{
    char output[kSha256HexBytes];
    if (!ComputeFileSha256Hex(path.c_str(), output)) {
        return "(failed)";
    }
    return output;
}

}  // namespace

TEST_F(DigestFiles, WellKnownVectorsInLowercaseHex)
{
    EXPECT_EQ(Digest(Write(L"empty.bin", "")), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Digest(Write(L"abc.bin", "abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(FileDigest, MatchesSha256sumAcrossChunkBoundaries)
{
    const std::wstring folder = HostFolder("TOVRIN_DIGEST_SAMPLES");
    ASSERT_FALSE(folder.empty()) << "TOVRIN_DIGEST_SAMPLES is not set";
    const auto expected = ReadDigestList(folder + L"\\SHA256SUMS");
    ASSERT_EQ(expected.size(), 4u) << "sample list missing or incomplete";
    for (const auto& [name, digest] : expected) {
        EXPECT_EQ(Digest(folder + L"\\" + std::wstring(name.begin(), name.end())), digest) << name;
    }
}

TEST_F(DigestFiles, FailureLeavesTheOutputUntouched)
{
    char output[kSha256HexBytes];
    memset(output, '#', sizeof(output));
    output[kSha256HexBytes - 1] = '\0';
    const std::string untouched = output;

    EXPECT_FALSE(ComputeFileSha256Hex((folder_ + L"\\missing.bin").c_str(), output));
    EXPECT_EQ(std::string(output), untouched);
    EXPECT_FALSE(ComputeFileSha256Hex(folder_.c_str(), output));  // a folder, not a file
    EXPECT_EQ(std::string(output), untouched);
}

// Serves some bytes through a named pipe, waits until they were read, then
// cuts the connection so that the reader's next ReadFile fails.
struct PipeServer {
    HANDLE pipe;
    bool delivered;  // the reader connected and took every byte before the cut
};

DWORD WINAPI ServeThenDisconnect(LPVOID parameter)
{
    PipeServer* server = static_cast<PipeServer*>(parameter);
    const std::string bytes(1000, 'x');
    DWORD written = 0;
    if (ConnectNamedPipe(server->pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) {
        // A flush on a pipe returns once the other end has read everything.
        server->delivered = WriteFile(server->pipe, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                                      nullptr) &&
                            written == bytes.size() && FlushFileBuffers(server->pipe);
    }
    DisconnectNamedPipe(server->pipe);
    return 0;
}

TEST(FileDigest, ReadErrorPartWayIsAFailureNotTheDigestOfAPrefix)
{
    const std::wstring name = L"\\\\.\\pipe\\tovrin_digest_" + std::to_wstring(GetCurrentProcessId());
    PipeServer server = {CreateNamedPipeW(name.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 65536,
                                          65536, 0, nullptr),
                         false};
    ASSERT_NE(server.pipe, INVALID_HANDLE_VALUE);
    HANDLE thread = CreateThread(nullptr, 0, ServeThenDisconnect, &server, 0, nullptr);
    ASSERT_NE(thread, nullptr);

    char output[kSha256HexBytes] = "untouched";
    EXPECT_FALSE(ComputeFileSha256Hex(name.c_str(), output));
    EXPECT_STREQ(output, "untouched");
    if (WaitForSingleObject(thread, 10000) != WAIT_OBJECT_0) {
        // The digest never opened the pipe: connect here so that the server thread ends.
        CloseHandle(CreateFileW(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        WaitForSingleObject(thread, 10000);
    }
    // Otherwise the false above could come from an open that failed, not from the broken read.
    EXPECT_TRUE(server.delivered) << "the digest did not read the bytes served before the cut";
    CloseHandle(thread);
    CloseHandle(server.pipe);
}

TEST(DigestText, ComparisonIgnoresAsciiCaseOnly)
{
    struct Case {
        const char* first;
        const char* second;
        bool equal;
    } cases[] = {
        {"abcdef0123", "ABCDEF0123", true},
        {"abc", "abc", true},
        {"", "", true},
        {"abc", "abcd", false},  // a longer published text never matches
        {"abcd", "abc", false},
        {"ab[", "ab{", false},   // '[' and '{' differ by the case bit but are not letters
        {"\xC3\xA9", "\xC3\x89", false},  // no case folding beyond ASCII
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DigestTextsEqual(c.first, c.second), c.equal) << c.first << " vs " << c.second;
    }
}
