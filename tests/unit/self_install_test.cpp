// Self-installation as the launcher does it, with this test program standing in
// for the running launcher. The desktop is redirected to a folder of the test.
#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <cwctype>
#include <string>
#include <vector>

#include "common/folder_files.h"
#include "update/own_image.h"
#include "update/self_install.h"
#include "test_support.h"

namespace {

// Started with this flag, the program only installs itself into the folder that follows.
constexpr wchar_t kChildFlag[] = L"--install-launcher-into";
constexpr wchar_t kImageFlag[] = L"--is-running-image";
constexpr wchar_t kShellFolders[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";

std::wstring OwnPath()
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string Bytes(const std::wstring& path)
{
    std::string bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return "<missing>";
    }
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got > 0) {
        bytes.append(chunk, got);
    }
    CloseHandle(file);
    return bytes;
}

void WriteBytes(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

std::vector<std::wstring> Entries(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0) {
            names.push_back(found.cFileName);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

void RemoveTree(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        for (const std::wstring& name : Entries(path)) {
            RemoveTree(path + L"\\" + name);
        }
        RemoveDirectoryW(path.c_str());
    } else {
        DeleteFileW(path.c_str());
    }
}

struct Shortcut {
    std::wstring target, workingDirectory, description, arguments, icon;
    int iconIndex = -1;
};

// Reads a shortcut back through the same Shell Link interfaces that wrote it.
bool ReadShortcut(const std::wstring& path, Shortcut* shortcut)
{
    wchar_t text[1024];
    bool ok = false;
    IShellLinkW* link = nullptr;
    IPersistFile* persist = nullptr;
    const HRESULT comInit = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&link))) ||
        FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist))) ||
        FAILED(persist->Load(path.c_str(), STGM_READ))) {
        goto cleanup;
    }
    link->GetPath(text, 1024, nullptr, SLGP_RAWPATH);
    shortcut->target = text;
    link->GetWorkingDirectory(text, 1024);
    shortcut->workingDirectory = text;
    link->GetDescription(text, 1024);
    shortcut->description = text;
    link->GetArguments(text, 1024);
    shortcut->arguments = text;
    link->GetIconLocation(text, 1024, &shortcut->iconIndex);
    shortcut->icon = text;
    ok = true;

cleanup:
    if (persist != nullptr) {
        persist->Release();
    }
    if (link != nullptr) {
        link->Release();
    }
    if (SUCCEEDED(comInit)) {
        CoUninitialize();
    }
    return ok;
}

// Runs a copy of this program as the launcher would run: it installs itself
// into installFolder and ends (with kImageFlag: 1 when that file is its image). Returns its exit code.
DWORD RunInstallFrom(const std::wstring& exe, const std::wstring& installFolder, const wchar_t* flag = kChildFlag)
{
    std::wstring commandLine = L"\"" + exe + L"\" " + flag + L" \"" + installFolder + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        return GetLastError() + 1000000;
    }
    DWORD code = 999;
    if (WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process.hProcess, &code);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

// exe (PE32+, unsigned) with a table of filler appended where its certificate table entry points, as signing leaves it.
std::string WithTable(std::string exe, uint32_t tableBytes, char filler)
{
    const uint32_t entry[2] = {static_cast<uint32_t>(exe.size()), tableBytes};
    exe.replace(*reinterpret_cast<const uint32_t*>(&exe[0x3C]) + 24 + 112 + 4 * 8, 8,
                reinterpret_cast<const char*>(entry), sizeof(entry));
    return exe + std::string(tableBytes, filler);
}

class SelfInstall : public testing::Test {
protected:
    void SetUp() override
    {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        const std::string name = testing::UnitTest::GetInstance()->current_test_info()->name();
        work = std::wstring(temp) + L"tovrin-self-install-" + std::wstring(name.begin(), name.end());
        RemoveTree(work);
        install = work + L"\\Install";
        desktop = work + L"\\Desktop";
        ASSERT_TRUE(CreateDirectoryW(work.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW(install.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW(desktop.c_str(), nullptr));

        ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kShellFolders, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &folders),
                  ERROR_SUCCESS);
        DWORD size = sizeof(savedDesktop);
        hadDesktop = RegQueryValueExW(folders, L"Desktop", nullptr, &savedType,
                                      reinterpret_cast<BYTE*>(savedDesktop), &size) == ERROR_SUCCESS;
        savedSize = size;
        RedirectDesktop(desktop);
    }

    void TearDown() override
    {
        if (folders != nullptr) {
            if (hadDesktop) {
                RegSetValueExW(folders, L"Desktop", 0, savedType, reinterpret_cast<const BYTE*>(savedDesktop),
                               savedSize);
            } else {
                RegDeleteValueW(folders, L"Desktop");
            }
            RegCloseKey(folders);
        }
        RemoveTree(work);
    }

    void RedirectDesktop(const std::wstring& folder)
    {
        RegSetValueExW(folders, L"Desktop", 0, REG_SZ, reinterpret_cast<const BYTE*>(folder.c_str()),
                       static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
        desktop = folder;
    }

    // Installs as the launcher does: into the folder it holds.
    static void Install(const std::wstring& folder)
    {
        HeldFolder held(folder);
        InstallLauncherAndShortcut(g_installFolderPath);
    }

    std::wstring CopyPath() const { return install + L"\\TovrinTools_Launcher.exe"; }
    std::wstring ShortcutPath() const { return desktop + L"\\Tovrin Tools.lnk"; }

    // The shortcut on the desktop, checked field by field.
    void ExpectShortcutTo(const std::wstring& target, const std::wstring& workingDirectory)
    {
        Shortcut shortcut;
        ASSERT_TRUE(ReadShortcut(ShortcutPath(), &shortcut)) << "no shortcut on the desktop";
        EXPECT_EQ(shortcut.target, target);
        EXPECT_EQ(shortcut.workingDirectory, workingDirectory);
        EXPECT_EQ(shortcut.description, L"Tovrin Tools Launcher");
        EXPECT_EQ(shortcut.arguments, L"");
        EXPECT_EQ(shortcut.icon, target);
        EXPECT_EQ(shortcut.iconIndex, 0);
    }

    std::wstring work, install, desktop;
    HKEY folders = nullptr;
    bool hadDesktop = false;
    DWORD savedType = REG_SZ;
    DWORD savedSize = 0;
    wchar_t savedDesktop[1024] = {};
};

}  // namespace

TEST_F(SelfInstall, FirstStartCopiesTheLauncherAndPointsTheShortcutAtTheCopy)
{
    Install(install);

    EXPECT_EQ(Bytes(CopyPath()), Bytes(OwnPath()));
    ExpectShortcutTo(CopyPath(), install);
}

// A file is the running image only with its certificate table's place and size (its bytes are never mapped).
TEST_F(SelfInstall, RunningImageIsKnownWithItsCertificateTable)
{
    const std::string own = Bytes(OwnPath()), signedOwn = WithTable(own, 1024, 's');
    const std::wstring running = work + L"\\signed.exe", candidate = work + L"\\candidate.exe";
    WriteBytes(running, signedOwn);
    const std::pair<std::string, DWORD> cases[] = {
        {signedOwn, 1},                  // the same table
        {WithTable(own, 1024, 'x'), 1},  // other bytes in the same place and size
        {WithTable(own, 1032, 's'), 0},  // a table of another size
        {signedOwn + "blob", 0},         // a blob after the table
        {own, 0},                        // no table
    };
    for (const auto& c : cases) {
        WriteBytes(candidate, c.first);
        EXPECT_EQ(RunInstallFrom(running, candidate, kImageFlag), c.second) << c.first.size() << " bytes";
    }
}

TEST_F(SelfInstall, LaterStartOverwritesAnOlderCopyAndAnotherShortcut)
{
    const std::wstring elsewhere = work + L"\\Elsewhere";
    ASSERT_TRUE(CreateDirectoryW(elsewhere.c_str(), nullptr));
    Install(elsewhere);
    WriteBytes(CopyPath(), "older launcher");

    Install(install);

    EXPECT_EQ(Bytes(CopyPath()), Bytes(OwnPath()));
    ExpectShortcutTo(CopyPath(), install);
}

TEST_F(SelfInstall, LockedInstalledCopyKeepsItsBytesAndStillGetsTheShortcut)
{
    WriteBytes(CopyPath(), "older launcher");
    HANDLE lock = CreateFileW(CopyPath().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);

    Install(install);
    CloseHandle(lock);

    EXPECT_EQ(Bytes(CopyPath()), "older launcher");
    ExpectShortcutTo(CopyPath(), install);
}

// A reader of the earlier copy (the shortcut's target) must never see it
// rewritten in place: the new copy arrives whole by one move or not at all, and
// no temporary file stays behind.
TEST_F(SelfInstall, EarlierCopyIsReplacedWholeOrKeptWhole)
{
    struct Case {
        const char* name;
        DWORD readerSharing;  // sharing of a handle held on the earlier copy meanwhile
        bool mayBeReplaced;   // Windows lets a move replace a file open with delete sharing; Wine does not
    } cases[] = {
        {"earlier copy open for reading", FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, true},
        {"earlier copy locked", 0, false},
    };
    for (const Case& c : cases) {
        WriteBytes(CopyPath(), "older launcher");
        HANDLE reader = CreateFileW(CopyPath().c_str(), GENERIC_READ, c.readerSharing, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(reader, INVALID_HANDLE_VALUE) << c.name;

        Install(install);

        char seen[64] = {};
        DWORD got = 0;
        ReadFile(reader, seen, sizeof(seen) - 1, &got, nullptr);
        CloseHandle(reader);
        EXPECT_STREQ(seen, "older launcher") << c.name << ": the earlier copy was rewritten in place";
        const std::string installed = Bytes(CopyPath());
        const bool whole = installed == "older launcher" || (c.mayBeReplaced && installed == Bytes(OwnPath()));
        EXPECT_TRUE(whole) << c.name << ": installed copy of " << installed.size() << " bytes";
        EXPECT_EQ(Entries(install), std::vector<std::wstring>{L"TovrinTools_Launcher.exe"}) << c.name;
        ExpectShortcutTo(CopyPath(), install);
        RemoveTree(CopyPath());
    }
}

TEST_F(SelfInstall, ImpossibleCopyPointsTheShortcutAtTheRunningExe)
{
    const std::wstring missing = work + L"\\Missing";

    InstallLauncherAndShortcut(missing.c_str());

    EXPECT_FALSE(Exists(missing));
    ExpectShortcutTo(OwnPath(), missing);
}

TEST_F(SelfInstall, StartFromTheInstalledCopySpelledInOtherCaseCopiesNothing)
{
    ASSERT_TRUE(CopyFileW(OwnPath().c_str(), CopyPath().c_str(), TRUE));
    std::wstring otherCase = CopyPath();
    for (wchar_t& unit : otherCase) {
        unit = static_cast<wchar_t>(iswlower(unit) ? towupper(unit) : towlower(unit));
    }

    EXPECT_EQ(RunInstallFrom(otherCase, install), 0u);

    EXPECT_EQ(Entries(install), std::vector<std::wstring>{L"TovrinTools_Launcher.exe"});
    EXPECT_EQ(Bytes(CopyPath()), Bytes(OwnPath()));
    ExpectShortcutTo(CopyPath(), install);
}

TEST_F(SelfInstall, NoDesktopFolderMeansNoShortcut)
{
    const std::wstring noDesktop = work + L"\\NoDesktop";
    RedirectDesktop(noDesktop);

    Install(install);

    EXPECT_EQ(Bytes(CopyPath()), Bytes(OwnPath()));
    EXPECT_FALSE(Exists(noDesktop));
    EXPECT_EQ(Entries(work), (std::vector<std::wstring>{L"Desktop", L"Install"}));
}

// 259 units is the longest path; one more and the step is skipped rather than
// done on a path cut short (which would name a file like "...Launcher.ex").
TEST_F(SelfInstall, InstalledCopyPathThatDoesNotFitSkipsTheCopy)
{
    const size_t kCopyName = wcslen(L"\\TovrinTools_Launcher.exe");
    for (const size_t pathLength : {size_t{259}, size_t{260}}) {
        const std::wstring folder = work + L"\\" + std::wstring(pathLength - kCopyName - work.size() - 1, L'i');
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));

        Install(folder);

        if (pathLength == 259) {
            EXPECT_EQ(Entries(folder), std::vector<std::wstring>{L"TovrinTools_Launcher.exe"});
            ExpectShortcutTo(folder + L"\\TovrinTools_Launcher.exe", folder);
        } else {
            EXPECT_EQ(Entries(folder), std::vector<std::wstring>{});
            ExpectShortcutTo(OwnPath(), folder);
        }
        RemoveTree(folder);
    }
}

TEST_F(SelfInstall, ShortcutPathThatDoesNotFitSkipsTheShortcut)
{
    const size_t kShortcutName = wcslen(L"\\Tovrin Tools.lnk");
    for (const size_t pathLength : {size_t{259}, size_t{260}}) {
        RedirectDesktop(work + L"\\" + std::wstring(pathLength - kShortcutName - work.size() - 1, L'd'));
        ASSERT_TRUE(CreateDirectoryW(desktop.c_str(), nullptr));

        Install(install);

        EXPECT_EQ(Bytes(CopyPath()), Bytes(OwnPath()));
        if (pathLength == 259) {
            ExpectShortcutTo(CopyPath(), install);
        } else {
            EXPECT_EQ(Entries(desktop), std::vector<std::wstring>{});
        }
    }
}

int main(int argc, char** argv)
{
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments != nullptr && count == 3 && wcscmp(arguments[1], kChildFlag) == 0) {
        HeldFolder held(arguments[2]);
        InstallLauncherAndShortcut(g_installFolderPath);
        LocalFree(arguments);
        return 0;
    }
    if (arguments != nullptr && count == 3 && wcscmp(arguments[1], kImageFlag) == 0) {
        const std::string bytes = Bytes(arguments[2]);
        return IsRunningImage(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()) ? 1 : 0;
    }
    LocalFree(arguments);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
