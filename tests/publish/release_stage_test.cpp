// tovrin-publish stage: what lands in the web root, and that a refused or
// failed stage leaves the release that was there before untouched.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <algorithm>
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

// The folder's files, without the stage's lock files.
std::set<std::string> Listing(const std::string& folder)
{
    std::set<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        if (name != ".stage.lock" && name != ".stage-writers.lock") {
            names.insert(name);
        }
    }
    return names;
}

unsigned Mode(const std::string& path)
{
    struct stat status;
    EXPECT_EQ(stat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
}

class StageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = MakeTempFolder();
        release_ = root_ + "/tovrin-tools-api/v1";
    }
    void TearDown() override { RemoveTree(root_); }

    bool Stage(const std::string& core, const std::string& root, std::string* message = nullptr,
               bool allowSameOrOlder = false, const char* signer = nullptr, const char* caFile = nullptr,
               const char* tsaCaFile = nullptr, const char* launcher = nullptr)
    {
        char text[kStageMessageBytes];
        const StageOptions options = {&signer, signer != nullptr ? 1u : 0u, allowSameOrOlder, nullptr, false,
                                      caFile, tsaCaFile, launcher};
        const bool ok = StageRelease(core.c_str(), root.c_str(), options, text, sizeof(text));
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
        // Readable by the web server, whatever the umask.
        EXPECT_EQ(Mode(release_ + "/bootstrap_meta"), 0644u);
        EXPECT_EQ(Mode(release_ + "/bootstrap_exe"), 0644u);
        EXPECT_EQ(Mode(release_) & 0755, 0755u);
        EXPECT_EQ(Mode(root_ + "/tovrin-tools-api") & 0755, 0755u);
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

TEST_F(StageTest, LauncherIsPublishedWithTheCoreAndItsVersionMustRiseToo)
{
    // Any program stands in for a launcher here.
    const std::string launcher = FakeCorePath("fake_core_1_6_5_1");
    std::string message;
    ASSERT_TRUE(Stage(FakeCorePath("fake_core_1_6_5_0"), root_, &message, false, nullptr, nullptr, nullptr,
                      launcher.c_str()))
        << message;
    const std::string published = release_ + "/bootstrap_meta";
    for (const char* core : {"fake_core_1_7_0_0", "fake_core_1_6_4_0"}) {  // a launcher not above, an older core
        EXPECT_FALSE(Stage(FakeCorePath(core), root_, &message, false, nullptr, nullptr, nullptr, launcher.c_str()));
        EXPECT_NE(message.find("not greater than"), std::string::npos) << message;
    }
    EXPECT_EQ(ReadBytes(release_ + "/bootstrap_launcher"), ReadBytes(launcher));
    std::vector<unsigned char> document = ReadBytes(published);
    document.push_back(0);
    ReleaseInfo core;
    LauncherRelease next;
    ReadReleaseInfo(reinterpret_cast<const char*>(document.data()), &core);
    ReadLauncherRelease(reinterpret_cast<const char*>(document.data()), &next);
    EXPECT_EQ(std::string(core.version) + " " + next.version + " " + next.sha256,
              "1.6.5.0 1.6.5.1 " + Sha256Sum(launcher));
    EXPECT_EQ(next.size, std::filesystem::file_size(launcher));
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
    ASSERT_TRUE(Stage(FakeCorePath("fake_core_1_6_5_0_other"), root_, nullptr, true));
    struct stat status;
    ASSERT_EQ(stat(exe.c_str(), &status), 0);
    EXPECT_EQ(status.st_mtim.tv_sec, ahead + 1);
    ExpectPublished(FakeCorePath("fake_core_1_6_5_0_other"), "1.6.5.0");
}

TEST_F(StageTest, VersionMustRiseUnlessSameOrOlderIsAllowed)
{
    ASSERT_TRUE(Stage(FakeCorePath("fake_core_1_6_5_0"), root_));
    struct Case {
        const char* core;
        bool allowed;
        bool published;
    } cases[] = {
        {"fake_core_1_6_5_0_other", false, false},  // same version, other build
        {"fake_core_1_6_4_0", false, false},
        {"fake_core_1_6_4_0", true, true},
        {"fake_core_1_6_5_0", false, true},  // above 1.6.4.0 again
        {"fake_core_1_6_5_0_other", true, true},
        {"fake_core_1_6_5_1", false, true},
    };
    std::string published = "fake_core_1_6_5_0";
    for (const Case& c : cases) {
        std::string message;
        const std::string core = FakeCorePath(c.core);
        EXPECT_EQ(Stage(core, root_, &message, c.allowed), c.published) << c.core << ": " << message;
        if (!c.published) {
            EXPECT_NE(message.find("not greater than version"), std::string::npos) << message;
            EXPECT_NE(message.find("--allow-same-or-older"), std::string::npos) << message;
        } else {
            published = c.core;
        }
        std::string version = published.substr(10);
        version = version.substr(0, 7);
        std::replace(version.begin(), version.end(), '_', '.');
        ExpectPublished(FakeCorePath(published.c_str()), version.c_str());
    }
}

TEST_F(StageTest, TemporariesOfEarlierRunsNeitherBlockNorRemain)
{
    // Names an interrupted run of this or an older stage left behind,
    // including the one this process id would have used.
    ASSERT_TRUE(Stage(FakeCorePath("fake_core_1_6_4_0"), root_));
    const std::string pid = std::to_string(getpid());
    const std::set<std::string> stale = {".bootstrap_exe." + pid + ".tmp", ".bootstrap_meta." + pid + ".tmp",
                                         ".bootstrap_exe.a1B2c3.tmp"};
    for (const std::string& name : stale) {
        WriteBytes(release_ + "/" + name, {'x'});
    }
    WriteBytes(release_ + "/notes.tmp", {'x'});  // not a name stages use: kept
    std::string message;
    ASSERT_TRUE(Stage(FakeCorePath("fake_core_1_6_5_0"), root_, &message)) << message;
    EXPECT_EQ(Listing(release_), (std::set<std::string>{"bootstrap_exe", "bootstrap_meta", "notes.tmp"}));
}

TEST_F(StageTest, FoldersAndFilesAreServedWhateverTheUmask)
{
    // A new root is made when the folder it would be in exists.
    RemoveTree(root_);
    const mode_t previous = umask(077);
    std::string message;
    const bool staged = Stage(FakeCorePath("fake_core_1_6_5_0"), root_, &message);
    umask(previous);
    ASSERT_TRUE(staged) << message;
    ExpectPublished(FakeCorePath("fake_core_1_6_5_0"), "1.6.5.0");
    EXPECT_EQ(Mode(root_), 0755u);
    // A folder an earlier stage left private is opened up again.
    ASSERT_EQ(chmod(release_.c_str(), 0700), 0);
    ASSERT_TRUE(Stage(FakeCorePath("fake_core_1_7_0_0"), root_, &message)) << message;
    ExpectPublished(FakeCorePath("fake_core_1_7_0_0"), "1.7.0.0");
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
        {FakeCorePath("fake_core_1_7_0_0"), scratch + "/no_such/root",
         "cannot create " + scratch + "/no_such/root: the folder it would be in does not exist"},
        {FakeCorePath("fake_core_1_7_0_0"), scratch + "/root_file", "root_file is not a folder"},
    };
    for (const Case& c : cases) {
        std::string message;
        EXPECT_FALSE(Stage(c.core, c.root, &message)) << c.core;
        EXPECT_NE(message.find(c.message), std::string::npos) << message;
        ExpectPublished(FakeCorePath("fake_core_1_6_5_0"), "1.6.5.0");
    }
    EXPECT_FALSE(std::filesystem::exists(scratch + "/no_such"));
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

TEST_F(StageTest, DamagedSignatureTablesAreRefusedWithTheirReason)
{
    ASSERT_TRUE(Stage(FakeCorePath("fake_core_1_6_5_0"), root_));
    const std::string scratch = MakeTempFolder();
    const std::vector<unsigned char> core = ReadBytes(FakeCorePath("fake_core_1_7_0_0"));
    const size_t pe = core[0x3C] | core[0x3D] << 8 | core[0x3E] << 16 | static_cast<size_t>(core[0x3F]) << 24;
    const size_t entry = pe + 24 + 112 + 4 * 8;  // PE32+: the certificate table's directory entry
    auto put32 = [](std::vector<unsigned char>* bytes, size_t at, uint32_t value) {
        for (int i = 0; i < 4; ++i) {
            (*bytes)[at + i] = static_cast<unsigned char>(value >> 8 * i);
        }
    };
    // A table appended at the end: {table offset, table size, WIN_CERTIFICATE length, revision and type}.
    struct Case {
        uint32_t offset, size, length, revisionAndType;
        const char* reason;
    } cases[] = {
        {0, 0, 0, 0, "is not Authenticode-signed"},
        {0xFFFFFFF0u, 64, 64, 0x00020200, "certificate table that is not at the end of the file"},
        {16, 64, 64, 0x00020200, "certificate table that is not at the end of the file"},
        {1, 64, 8, 0x00020200, "damaged certificate table"},
        {1, 64, 65, 0x00020200, "damaged certificate table"},
        {1, 64, 64, 0x00010200, "damaged certificate table"},
        {1, 64, 64, 0x00020200, "has a signature that is not PKCS#7 signed data"},
    };
    for (const Case& c : cases) {
        std::vector<unsigned char> bytes = core;
        const uint32_t table = c.offset == 1 ? static_cast<uint32_t>(bytes.size()) : c.offset;
        if (c.size > 0) {
            bytes.resize(bytes.size() + c.size, 0x30);
            put32(&bytes, bytes.size() - c.size, c.length);
            put32(&bytes, bytes.size() - c.size + 4, c.revisionAndType);
        }
        put32(&bytes, entry, table);
        put32(&bytes, entry + 4, c.size);
        WriteBytes(scratch + "/core.exe", bytes);
        std::string message;
        EXPECT_FALSE(Stage(scratch + "/core.exe", root_, &message, false, "00000000000000000000000000000000"
                                                                         "00000000000000000000000000000000"));
        EXPECT_NE(message.find(c.reason), std::string::npos) << message;
        ExpectPublished(FakeCorePath("fake_core_1_6_5_0"), "1.6.5.0");
    }
    RemoveTree(scratch);
}

TEST_F(StageTest, RootFilesThatCannotBeReadAreRefused)
{
    // A mistyped --ca-file must not leave the chain quietly unchecked.
    ASSERT_TRUE(Stage(FakeCorePath("fake_core_1_6_5_0"), root_));
    const std::string scratch = MakeTempFolder();
    const std::string missing = scratch + "/missing.pem";
    const std::string notes = scratch + "/notes.pem";
    const std::string damaged = scratch + "/damaged.pem";
    WriteBytes(notes, {'x', '\n'});
    const std::string pem = "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n";
    WriteBytes(damaged, std::vector<unsigned char>(pem.begin(), pem.end()));
    struct Case {
        const char* caFile;
        const char* tsaCaFile;
        std::string message;
    } cases[] = {
        {missing.c_str(), nullptr, "cannot be checked: --ca-file: cannot read " + missing + ": No such file"},
        {notes.c_str(), nullptr, "cannot be checked: --ca-file: " + notes + " holds no PEM certificate"},
        {damaged.c_str(), nullptr, "cannot be checked: --ca-file: " + damaged + " holds a damaged PEM certificate"},
        {nullptr, missing.c_str(), "cannot be checked: --tsa-ca-file: cannot read " + missing},
        {nullptr, notes.c_str(), "cannot be checked: --tsa-ca-file: " + notes + " holds no PEM certificate"},
    };
    for (const Case& c : cases) {
        std::string message;
        EXPECT_FALSE(Stage(FakeCorePath("fake_core_1_7_0_0"), root_, &message, false,
                           "0000000000000000000000000000000000000000000000000000000000000000", c.caFile, c.tsaCaFile));
        EXPECT_NE(message.find(c.message), std::string::npos) << message;
        ExpectPublished(FakeCorePath("fake_core_1_6_5_0"), "1.6.5.0");
    }
    RemoveTree(scratch);
}
