// Authenticode check held to signer pins, on fake cores signed with the build's
// test keys, and the hold that keeps a checked core from being swapped.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/folder_files.h"
#include "transfer/file_signature.h"
#include "sample_files.h"
#include "test_support.h"

namespace {

class FileSignature : public ::testing::Test {
protected:
    void SetUp() override
    {
        samples_ = HostFolder("TOVRIN_SIGNED_SAMPLES");
        ASSERT_FALSE(samples_.empty()) << "TOVRIN_SIGNED_SAMPLES not set";
        publisher_ = ReadPin(L"publisher.pin");
        stranger_ = ReadPin(L"stranger.pin");
        ASSERT_EQ(publisher_.size(), 64u);
        ASSERT_EQ(stranger_.size(), 64u);
    }
    std::string ReadPin(const wchar_t* name) const
    {
        std::string pin = ReadWholeFile(samples_ + L"\\" + name);
        return pin.substr(0, pin.find_first_of("\r\n"));
    }
    std::wstring Sample(const wchar_t* name) const
    {
        return samples_ + L"\\" + name;
    }
    // FileSignedByPinnedKey's answer for the file at path (false when there is none).
    static bool Holds(const std::wstring& path, const std::vector<std::string>& pins)
    {
        std::vector<const char*> texts;
        for (const std::string& pin : pins) {
            texts.push_back(pin.c_str());
        }
        HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        const bool result = file != INVALID_HANDLE_VALUE &&
                            FileSignedByPinnedKey(file, path.c_str(), texts.data(), texts.size());
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
        }
        return result;
    }

    std::wstring samples_;
    std::string publisher_;
    std::string stranger_;
};

TEST_F(FileSignature, AcceptsOnlyAnIntactSignatureByAPinnedKey)
{
    std::string upperPublisher = publisher_;
    for (char& c : upperPublisher) {
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    }
    struct Case {
        const char* name;
        std::wstring path;
        std::vector<std::string> pins;
        bool signedByPinned;
    } cases[] = {
        {"publisher's core, publisher pinned", Sample(L"publisher_1_6_5_0.exe"), {publisher_}, true},
        {"pin written in upper case", Sample(L"publisher_1_6_5_0.exe"), {upperPublisher}, true},
        {"second of two pins (key rollover)", Sample(L"publisher_1_6_5_0.exe"), {stranger_, publisher_}, true},
        {"publisher's core, only the stranger pinned", Sample(L"publisher_1_6_5_0.exe"), {stranger_}, false},
        {"no pins at all", Sample(L"publisher_1_6_5_0.exe"), {}, false},
        {"stranger's core", Sample(L"stranger_1_6_5_0.exe"), {publisher_}, false},
        {"changed after signing", Sample(L"changed_1_6_5_0.exe"), {publisher_}, false},
        {"unsigned core", HelperPath(L"fake_core_1_6_5_0.exe"), {publisher_}, false},
        {"no such file", Sample(L"missing.exe"), {publisher_}, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Holds(c.path, c.pins), c.signedByPinned) << c.name;
    }
}

TEST_F(FileSignature, HeldCoreCanBeStartedButNotReplacedChangedOrRemoved)
{
    TempFolder folder;
    const std::wstring core = folder.path + L"\\TovrinTools_core.exe";
    const std::wstring replacement = folder.path + L"\\replacement.exe";
    const std::wstring elsewhere = folder.path + L"\\elsewhere.exe";
    ASSERT_TRUE(CopyFileW(Sample(L"publisher_1_6_5_0.exe").c_str(), core.c_str(), FALSE));
    ASSERT_TRUE(CopyHelper(L"fake_core_1_6_5_0.exe", replacement));
    const char* pins[] = {publisher_.c_str()};

    // Held as the launcher holds its folder and the checked core in it.
    HeldFolder heldFolder(folder.path);
    HANDLE held = OpenFolderFile(L"TovrinTools_core.exe", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(FileSignedByPinnedKey(held, core.c_str(), pins, 1));
    EXPECT_FALSE(MoveFileExW(folder.path.c_str(), (folder.path + L"-moved").c_str(), 0));
    EXPECT_FALSE(MoveFileExW(replacement.c_str(), core.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
    EXPECT_FALSE(MoveFileExW(core.c_str(), elsewhere.c_str(), 0));
    EXPECT_FALSE(DeleteFileW(core.c_str()));
    HANDLE writer = CreateFileW(core.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
    if (writer != INVALID_HANDLE_VALUE) {
        CloseHandle(writer);
    }

    // The hold must not keep the core itself from starting.
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessW(core.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, folder.path.c_str(),
                               &startup, &process))
        << GetLastError();
    WaitForSingleObject(process.hProcess, 30000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    EXPECT_TRUE(WaitForFile(core + L".started", 5000));

    CloseHandle(held);
    EXPECT_TRUE(MoveFileExW(replacement.c_str(), core.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
}

TEST_F(FileSignature, CoreOpenForWritingElsewhereIsNotHeld)
{
    TempFolder folder;
    const std::wstring core = folder.path + L"\\TovrinTools_core.exe";
    ASSERT_TRUE(CopyFileW(Sample(L"publisher_1_6_5_0.exe").c_str(), core.c_str(), FALSE));
    const char* pins[] = {publisher_.c_str()};
    // Whoever can still write could change the bytes after the check.
    HANDLE writer = CreateFileW(core.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    HeldFolder heldFolder(folder.path);
    HANDLE held = OpenFolderFile(L"TovrinTools_core.exe", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_EQ(held, INVALID_HANDLE_VALUE);
    CloseHandle(writer);
    held = OpenFolderFile(L"TovrinTools_core.exe", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(FileSignedByPinnedKey(held, core.c_str(), pins, 1));
    CloseHandle(held);
    // Nor is a core with a second name, through which it could be written.
    ASSERT_TRUE(CreateHardLinkW((folder.path + L"\\link.exe").c_str(), core.c_str(), nullptr));
    EXPECT_EQ(OpenFolderFile(L"TovrinTools_core.exe", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
}

}  // namespace
