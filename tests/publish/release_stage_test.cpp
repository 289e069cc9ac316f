// tovrin-publish stage: what lands in the web root, and that a refused or
// failed stage leaves the release that was there before untouched.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <set>
#include <string>

#include "publish/release_stage.h"
#include "test_files.h"
#include "update/release_info.h"

namespace {

// sha256sum's opinion, independent of the code under test.
std::string Sha256Sum(const std::string& path)
{
    char line[128] = "";
    FILE* pipe = popen(("sha256sum '" + path + "'").c_str(), "r");
    EXPECT_NE(pipe, nullptr);
    if (pipe != nullptr) {
        EXPECT_NE(fgets(line, sizeof(line), pipe), nullptr);
        pclose(pipe);
    }
    return std::string(line).substr(0, 64);
}

std::set<std::string> Listing(const std::string& folder)
{
    std::set<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

class StageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = MakeTempFolder();
        release_ = root_ + "/tovrin-tools-api/v1";
    }
    void TearDown() override { RemoveTree(root_); }

    bool Stage(const std::string& core, const std::string& root, std::string* message = nullptr)
    {
        char text[kStageMessageBytes];
        const bool ok = StageRelease(core.c_str(), root.c_str(), text, sizeof(text));
        if (message != nullptr) {
            *message = text;
        }
        return ok;
    }

    // The release in the root is exactly core, described by a document the
    // launcher's scanner reads back as core's version, digest and size.
    void ExpectPublished(const std::string& core, const char* version)
    {
        EXPECT_EQ(Listing(release_), (std::set<std::string>{"bootstrap_exe", "bootstrap_meta"}));
        EXPECT_EQ(ReadBytes(release_ + "/bootstrap_exe"), ReadBytes(core));
        std::vector<unsigned char> document = ReadBytes(release_ + "/bootstrap_meta");
        EXPECT_LT(document.size(), 200u);
        document.push_back(0);
        ReleaseInfo release;
        ReadReleaseInfo(reinterpret_cast<const char*>(document.data()), &release);
        EXPECT_STREQ(release.version, version);
        EXPECT_EQ(release.sha256, Sha256Sum(core));
        EXPECT_EQ(release.size, std::filesystem::file_size(core));
        struct stat status;
        ASSERT_EQ(stat((release_ + "/bootstrap_meta").c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, 0644u);  // readable by the web server
    }

    std::string root_;
    std::string release_;
};

}  // namespace

TEST_F(StageTest, PublishesCoreAndDocumentAndReplacesAnEarlierRelease)
{
    std::string message;
    ASSERT_TRUE(Stage(FakeCorePath("fake_core_1_6_5_0"), root_, &message)) << message;
    ExpectPublished(FakeCorePath("fake_core_1_6_5_0"), "1.6.5.0");
    EXPECT_NE(message.find("version 1.6.5.0"), std::string::npos) << message;

    ASSERT_TRUE(Stage(FakeCorePath("fake_core_1_7_0_0"), root_ + "/", &message)) << message;
    ExpectPublished(FakeCorePath("fake_core_1_7_0_0"), "1.7.0.0");
}

TEST_F(StageTest, ReplacementExecutableIsAlwaysNewerThanTheOneItReplaces)
{
    // The web server's validator is size and modification second: a build of
    // the same size must never carry the second of the one it replaces.
    ASSERT_TRUE(Stage(FakeCorePath("fake_core_1_6_5_0"), root_));
    const std::string exe = release_ + "/bootstrap_exe";
    const time_t ahead = time(nullptr) + 100;
    const struct timespec times[2] = {{0, UTIME_OMIT}, {ahead, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, exe.c_str(), times, 0), 0);
    ASSERT_TRUE(Stage(FakeCorePath("fake_core_1_6_5_0_other"), root_));
    struct stat status;
    ASSERT_EQ(stat(exe.c_str(), &status), 0);
    EXPECT_EQ(status.st_mtim.tv_sec, ahead + 1);
    ExpectPublished(FakeCorePath("fake_core_1_6_5_0_other"), "1.6.5.0");
}

TEST_F(StageTest, RefusalsLeaveTheEarlierReleaseUntouched)
{
    ASSERT_TRUE(Stage(FakeCorePath("fake_core_1_6_5_0"), root_));
    const std::string scratch = MakeTempFolder();
    const std::vector<unsigned char> x86 = ReadBytes(CoreX86Path());
    std::vector<unsigned char> atFloor = x86;
    atFloor.resize(1000000, 0);  // appended bytes do not change the PE itself
    WriteBytes(scratch + "/at_floor.exe", atFloor);
    WriteBytes(scratch + "/notes.txt", std::vector<unsigned char>(2000000, 'x'));
    WriteBytes(scratch + "/root_file", {});

    struct Case {
        std::string core;
        std::string root;
        std::string message;
    } cases[] = {
        {FakeCorePath("fake_core_noversion"), root_, "has no version resource"},
        {scratch + "/notes.txt", root_, "is not a Windows PE executable"},
        {scratch + "/at_floor.exe", root_, "has 1000000 bytes; the launcher rejects a core of 1,000,000 bytes or fewer"},
        {scratch + "/missing.exe", root_, "cannot read " + scratch + "/missing.exe: No such file or directory"},
        {scratch, root_, "cannot read " + scratch + ": not a regular file"},
        {FakeCorePath("fake_core_1_7_0_0"), scratch + "/no_such_root", "no_such_root is not a folder"},
        {FakeCorePath("fake_core_1_7_0_0"), scratch + "/root_file", "root_file is not a folder"},
    };
    for (const Case& c : cases) {
        std::string message;
        EXPECT_FALSE(Stage(c.core, c.root, &message)) << c.core;
        EXPECT_NE(message.find(c.message), std::string::npos) << message;
        ExpectPublished(FakeCorePath("fake_core_1_6_5_0"), "1.6.5.0");
    }
    EXPECT_FALSE(std::filesystem::exists(scratch + "/no_such_root"));
    RemoveTree(scratch);
}

TEST_F(StageTest, A32BitCoreAboveTheFloorIsPublished)
{
    const std::string scratch = MakeTempFolder();
    std::vector<unsigned char> core = ReadBytes(CoreX86Path());
    core.resize(1000001, 0);
    WriteBytes(scratch + "/core.exe", core);
    std::string message;
    EXPECT_TRUE(Stage(scratch + "/core.exe", root_, &message)) << message;
    ExpectPublished(scratch + "/core.exe", "3.2.1.0");
    RemoveTree(scratch);
}

TEST_F(StageTest, FailureToMoveTheExecutableIntoPlaceLeavesNoTraces)
{
    // A folder where the executable belongs: both files are written, the
    // first rename fails, and neither temporary file nor a document remains.
    ASSERT_TRUE(std::filesystem::create_directories(release_ + "/bootstrap_exe/x"));
    std::string message;
    EXPECT_FALSE(Stage(FakeCorePath("fake_core_1_6_5_0"), root_, &message));
    EXPECT_NE(message.find("cannot move the executable into place"), std::string::npos) << message;
    EXPECT_EQ(Listing(release_), (std::set<std::string>{"bootstrap_exe"}));
}
