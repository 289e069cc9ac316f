// The hold that keeps a checked core from being swapped, changed or removed
// while it is started.
#include <gtest/gtest.h>

#include <string>

#include "common/folder_files.h"
#include "transfer/file_signature.h"
#include "signed_samples.h"
#include "test_support.h"

namespace {

class HeldCore : public SignedSamples {};

TEST_F(HeldCore, HeldCoreCanBeStartedButNotReplacedChangedOrRemoved)
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

TEST_F(HeldCore, CoreOpenForWritingElsewhereIsNotHeld)
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
