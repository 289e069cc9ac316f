// The release document against a core: what the launcher's scanner makes of
// a document, and each disagreement named with both values.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "publish/host_policy.h"
#include "publish/release_document.h"
#include "test_files.h"

namespace {

CoreFacts Facts(const std::string& path)
{
    const std::vector<unsigned char> bytes = ReadBytes(path);
    CoreFacts facts;
    ExamineCore(bytes.data(), bytes.size(), &facts);
    return facts;
}

std::string Disagreements(const std::string& document, const CoreFacts& facts)
{
    char report[kReportBytes] = "";
    const int count = ListDisagreements(document.c_str(), facts, report, sizeof(report));
    EXPECT_EQ(count == 0, report[0] == '\0') << report;
    return report;
}

}  // namespace

TEST(ReleaseDocument, GeneratedDocumentHasExactlyTheThreeMembers)
{
    const CoreFacts facts = Facts(FakeCorePath("fake_core_1_6_5_0"));
    char document[kDocumentBytes];
    ASSERT_TRUE(FormatReleaseDocument(facts, document, sizeof(document)));
    EXPECT_EQ(std::string(document), "{\"version\": \"1.6.5.0\", \"sha256\": \"" + std::string(facts.sha256) +
                                         "\", \"size\": " + std::to_string(facts.size) + "}\n");
    EXPECT_EQ(Disagreements(document, facts), "");
    // No document for a core without a version, and none cut short.
    EXPECT_FALSE(FormatReleaseDocument(Facts(FakeCorePath("fake_core_noversion")), document, sizeof(document)));
    EXPECT_FALSE(FormatReleaseDocument(facts, document, 100));
}

TEST(ReleaseDocument, EachDisagreementIsNamedWithBothValues)
{
    const CoreFacts core = Facts(FakeCorePath("fake_core_1_6_5_0"));
    const std::string sha = core.sha256;
    std::string upper = sha;
    for (char& c : upper) {
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    }
    const std::string size = std::to_string(core.size);
    const std::string wrongSha(64, 'a');
    struct Case {
        std::string document;
        std::string expected;
    } cases[] = {
        // The launcher ignores the digest's case and reads only four numbers.
        {"{\"version\":\"1.6.5.0\",\"sha256\":\"" + upper + "\",\"size\":" + size + "}", ""},
        {"{\"size\": " + size + ", \"sha256\": \"" + sha + "\", \"version\": \"v1.6.5 build 0\"}", ""},
        {"{\"version\": \"1.6.4.0\", \"sha256\": \"" + sha + "\", \"size\": " + size + "}",
         "\"version\" is 1.6.4.0 but the executable's file version is 1.6.5.0\n"},
        {"{\"version\": \"1.6.5.0\", \"sha256\": \"" + wrongSha + "\", \"size\": " + size + "}",
         "\"sha256\" is " + wrongSha + " but the executable's SHA-256 is " + sha + "\n"},
        {"{\"version\": \"1.6.5.0\", \"sha256\": \"" + sha + "\", \"size\": 1000}",
         "\"size\" is 1000 but the executable has " + size + " bytes\n"},
        // A quoted size reads as none; the first "version" is a value here, so
        // the launcher finds no version even though a member follows.
        {"{\"note\": \"version\", \"version\": \"1.6.5.0\", \"sha256\": \"" + sha + "\", \"size\": \"" + size + "\"}",
         "the document has no \"version\" the launcher can read\n"
         "the document has no \"size\" the launcher can read\n"},
        {"", "the document has no \"version\" the launcher can read\n"
             "the document has no \"sha256\" the launcher can read\n"
             "the document has no \"size\" the launcher can read\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Disagreements(c.document, core), c.expected) << c.document;
    }
}

TEST(ReleaseDocument, CoresTheLauncherWouldRefuseAreReported)
{
    const CoreFacts noVersion = Facts(FakeCorePath("fake_core_noversion"));
    const std::string document = "{\"version\": \"1.6.5.0\", \"sha256\": \"" + std::string(noVersion.sha256) +
                                 "\", \"size\": " + std::to_string(noVersion.size) + "}";
    EXPECT_EQ(Disagreements(document, noVersion), "the executable has no version resource\n");

    const CoreFacts small = Facts(CoreX86Path());
    const std::string smallDocument = "{\"version\": \"3.2.1.0\", \"sha256\": \"" + std::string(small.sha256) +
                                      "\", \"size\": " + std::to_string(small.size) + "}";
    EXPECT_EQ(Disagreements(smallDocument, small), "the executable has " + std::to_string(small.size) +
                                                       " bytes; the launcher rejects 1,000,000 bytes or fewer\n");
}

TEST(HostPolicy, DocumentCachingAndResumeAreJudgedAsTheLauncherMeetsThem)
{
    char text[512];
    const struct {
        const char* cacheControl;
        const char* expires;
        bool fresh;
        const char* says;
    } caching[] = {
        {"no-store, no-cache, must-revalidate, max-age=0", nullptr, true, "never kept by a cache"},
        {"public, no-cache", nullptr, true, "asked for again from the host on every request"},
        {"max-age=0, must-revalidate", nullptr, true, "asked for again"},
        {"public, max-age=3600", nullptr, false, "for 3600 s"},
        {"max-age=60, s-maxage=600", nullptr, false, "for 600 s"},  // a shared cache reads s-maxage
        {nullptr, "Fri, 11 Dec 2026 15:00:00 GMT", false, "until Fri, 11 Dec 2026 15:00:00 GMT"},
        {nullptr, nullptr, false, "as long as it chooses"},
        {"x-no-store-please", nullptr, false, "as long as it chooses"},
    };
    for (const auto& c : caching) {
        EXPECT_EQ(DescribeDocumentCaching(c.cacheControl, c.expires, text, sizeof(text)), c.fresh) << text;
        EXPECT_NE(strstr(text, c.says), nullptr) << text;
    }
    const struct {
        const char* validator;
        long status;
        const char* contentRange;
        const char* etag;
        bool resumes;
    } resume[] = {
        {"\"5f-100\"", 206, "bytes 99-99/100", "\"5f-100\"", true},
        {"\"5f-100\"", 200, nullptr, "\"5f-100\"", false},  // ranges ignored
        {"\"5f-100\"", 206, "bytes 99-99/100", "W/\"5f-100\"", false},  // weakened on the way
        {"\"5f-100\"", 206, "bytes 0-99/100", "\"5f-100\"", false},
        {"", 206, "bytes 99-99/100", nullptr, false},
    };
    for (const auto& c : resume) {
        EXPECT_EQ(DescribeResume(c.validator, c.status, c.contentRange, c.etag, nullptr, 99, 100, text, sizeof(text)),
                  c.resumes)
            << text;
    }
}
