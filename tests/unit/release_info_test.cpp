// Release metadata scan: what the launcher reads from the document the update
// host serves, including the documents it must not misread.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "update/release_info.h"

namespace {

ReleaseInfo Read(const std::string& document)
{
    ReleaseInfo release;
    memset(&release, 0x5A, sizeof(release));  // the scan must not rely on a clean record
    ReadReleaseInfo(document.c_str(), &release);
    return release;
}

const char kDigest[] = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";

}  // namespace

TEST(ReleaseInfo, ReadsAllMembersWithOrWithoutBlanks)
{
    struct Case {
        const char* name;
        std::string document;
    } cases[] = {
        {"compact", std::string("{\"version\":\"1.6.5.0\",\"sha256\":\"") + kDigest + "\",\"size\":1100000}"},
        {"pretty", std::string("{\n  \"size\"\t:  1100000,\n  \"sha256\" : \"") + kDigest +
                       "\",\n  \"version\":\t\"1.6.5.0\"\n}\n"},
        {"colons and tabs repeated", std::string("\"version\"::\t: \"1.6.5.0\" \"sha256\":\"") + kDigest +
                                         "\" \"size\"\t:\t:1100000"},
    };
    for (const Case& c : cases) {
        const ReleaseInfo release = Read(c.document);
        EXPECT_STREQ(release.version, "1.6.5.0") << c.name;
        EXPECT_STREQ(release.sha256, kDigest) << c.name;
        EXPECT_EQ(release.size, 1100000u) << c.name;
    }
    // The launcher's members, before or after the core's, change nothing of
    // what launchers without them read.
    const std::string core = cases[0].document.substr(1, cases[0].document.size() - 2);
    const std::string launcher =
        "\"launcher_version\":\"1.0.0.1\",\"launcher_sha256\":\"ab\",\"launcher_size\":215040";
    const ReleaseInfo expected = Read(cases[0].document);
    for (const std::string& document : {"{" + launcher + "," + core + "}", "{" + core + "," + launcher + "}"}) {
        const ReleaseInfo release = Read(document);
        EXPECT_EQ(memcmp(&release, &expected, sizeof(release)), 0) << document;
        LauncherRelease next;
        ReadLauncherRelease(document.c_str(), &next);
        EXPECT_EQ(std::string(next.version) + " " + next.sha256 + " " + std::to_string(next.size), "1.0.0.1 ab 215040");
    }
}

TEST(ReleaseInfo, MissingOrUnreadableMembersLeaveEmptyFields)
{
    struct Case {
        const char* name;
        const char* document;
    } cases[] = {
        {"empty document", ""},
        {"other members only", "{\"name\":\"core\",\"build\":7}"},
        {"names differ in case", "{\"Version\":\"1.6.5.0\",\"SHA256\":\"ab\",\"Size\":5}"},
        {"unquoted names", "{version:\"1.6.5.0\",sha256:\"ab\",size:5}"},
        {"values not quoted or numbers", "{\"version\":1.6,\"sha256\":null,\"size\":\"12\"}"},
        {"nothing usable after the names", "\"version\" 1 \"sha256\"\t:x \"size\" :\t"},
        {"no-break space is not a blank", "{\"version\":\xC2\xA0\"1.6.5.0\",\"size\":\xC2\xA0\x31}"},
    };
    for (const Case& c : cases) {
        const ReleaseInfo release = Read(c.document);
        EXPECT_STREQ(release.version, "") << c.name;
        EXPECT_STREQ(release.sha256, "") << c.name;
        EXPECT_EQ(release.size, 0u) << c.name;
    }
}

TEST(ReleaseInfo, FirstOccurrenceOfTheQuotedNameWins)
{
    // "version" first appears as another member's value: the byte after it is a
    // comma, so the real member further on is never reached.
    const ReleaseInfo release = Read("{\"channel\":\"version\",\"version\":\"1.6.5.0\",\"size\":5,\"size\":7}");
    EXPECT_STREQ(release.version, "");
    EXPECT_EQ(release.size, 5u);
}

TEST(ReleaseInfo, LongValuesAreCutToTheirFields)
{
    const std::string version(70, '7');
    const std::string digest(90, 'a');
    const ReleaseInfo release = Read("{\"version\":\"" + version + "\",\"sha256\":\"" + digest + "\"}");
    EXPECT_EQ(std::string(release.version), version.substr(0, 63));
    EXPECT_EQ(std::string(release.sha256), digest.substr(0, 79));
}

TEST(ReleaseInfo, StringValuesAreCopiedVerbatimUpToTheNextQuote)
{
    struct Case {
        const char* document;
        const char* expected;
    } cases[] = {
        {"{\"version\":\"1.6.5.0", "1.6.5.0"},          // runs to the end of the document
        {"{\"version\":\"1.6\\\"5\"}", "1.6\\"},        // no escape handling: the escaped quote ends it
        {"{\"version\":\"\",\"x\":\"9\"}", ""},         // an empty value stays empty
        {"{\"version\":\"v1.6 build 0\"}", "v1.6 build 0"},
    };
    for (const Case& c : cases) {
        EXPECT_STREQ(Read(c.document).version, c.expected) << c.document;
    }
}

TEST(ReleaseInfo, SizeIsUnsignedDecimalSaturatingOnOverflow)
{
    struct Case {
        const char* document;
        uint64_t expected;
    } cases[] = {
        {"{\"size\":0}", 0},
        {"{\"size\": 1100000.5}", 1100000},
        {"{\"size\":18446744073709551615}", UINT64_MAX},
        {"{\"size\":18446744073709551616}", UINT64_MAX},
        {"{\"size\":99999999999999999999999999999,\"version\":\"1\"}", UINT64_MAX},
        {"{\"size\":-5}", 0},
        {"{\"size\":+5}", 0},
        {"{\"size\":\"1100000\"}", 0},
        {"{\"size\":", 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Read(c.document).size, c.expected) << c.document;
    }
}

TEST(ReleaseInfo, NoValueLeavesTheDestinationUntouched)
{
    char destination[8] = "keep";
    EXPECT_FALSE(ScanStringField("{\"version\":1}", "version", destination, sizeof(destination)));
    EXPECT_STREQ(destination, "keep");
    EXPECT_FALSE(ScanStringField("{\"version\":\"1.0\"}", "version", destination, 0));
    EXPECT_STREQ(destination, "keep");
    EXPECT_TRUE(ScanStringField("{\"version\":\"1.0\"}", "version", destination, 1));
    EXPECT_STREQ(destination, "");
}

TEST(ReleaseInfo, NamesTooLongForTheKeyHaveNoValue)
{
    // 61 bytes plus two quotes fill the 64-byte key buffer exactly; one more
    // byte would cut the closing quote off and match the wrong text.
    const std::string fits(61, 'n');
    const std::string tooLong(62, 'n');
    char destination[16] = "keep";
    EXPECT_TRUE(ScanStringField(("{\"" + fits + "\":\"value\"}").c_str(), fits.c_str(), destination, 16));
    EXPECT_STREQ(destination, "value");

    strcpy(destination, "keep");
    EXPECT_FALSE(ScanStringField(("{\"" + tooLong + "\":\"value\"}").c_str(), tooLong.c_str(), destination, 16));
    EXPECT_STREQ(destination, "keep");
    EXPECT_EQ(ScanSizeField(("{\"" + fits + "\":7}").c_str(), fits.c_str()), 7u);
    EXPECT_EQ(ScanSizeField(("{\"" + tooLong + ":7}").c_str(), tooLong.c_str()), 0u);
}
