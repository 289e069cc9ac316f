// The update decision against real fake cores: their version resources are
// read through their open handles and their digests compared with sha256sum's.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>

#include "sample_files.h"
#include "update/installed_version.h"
#include "update/update_decision.h"

namespace {

class UpdateDecision : public ::testing::Test {
protected:
    void SetUp() override
    {
        helpers_ = HostFolder("TOVRIN_HELPERS_DIR");
        const std::wstring samples = HostFolder("TOVRIN_DIGEST_SAMPLES");
        ASSERT_FALSE(helpers_.empty() || samples.empty()) << "TOVRIN_HELPERS_DIR or TOVRIN_DIGEST_SAMPLES not set";
        digests_ = ReadDigestList(samples + L"\\CORES.SHA256SUMS");
        ASSERT_GE(digests_.size(), 6u) << "fake core digests missing";
    }
    std::wstring Core(const std::string& name) const
    {
        return helpers_ + L"\\" + std::wstring(name.begin(), name.end()) + L".exe";
    }
    std::string DigestOf(const std::string& name) const
    {
        const auto found = digests_.find(name + ".exe");
        return found == digests_.end() ? std::string() : found->second;
    }
    std::wstring helpers_;
    std::map<std::string, std::string> digests_;
};

ReleaseInfo Release(const char* version, const std::string& sha256)
{
    ReleaseInfo release = {};
    strncpy(release.version, version, sizeof(release.version) - 1);
    strncpy(release.sha256, sha256.c_str(), sizeof(release.sha256) - 1);
    release.size = 1100000;
    return release;
}

std::string Upper(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](char c) { return c >= 'a' && c <= 'z' ? c - 32 : c; });
    return text;
}

const char* Name(UpdateEvidence evidence)
{
    switch (evidence) {
    case EvidenceInstalledNewer:
        return "installed newer";
    case EvidenceDigestMatches:
        return "digest matches";
    case EvidenceNone:
        return "no evidence";
    }
    return "?";
}

}  // namespace

TEST_F(UpdateDecision, ReadsTheInstalledFileVersion)
{
    struct Case {
        const char* core;
        bool present;
        uint16_t parts[4];
    } cases[] = {
        {"fake_core_1_6_5_0", true, {1, 6, 5, 0}},
        {"fake_core_1_6_5_1", true, {1, 6, 5, 1}},
        {"fake_core_1_7_0_0", true, {1, 7, 0, 0}},
        {"fake_core_noversion", false, {0, 0, 0, 0}},
        {"missing_core", false, {0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        FileVersionQuad version;
        HANDLE core = CreateFileW(Core(c.core).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_EQ(ReadInstalledVersion(core, &version), c.present) << c.core;
        EXPECT_EQ(version.present, c.present) << c.core;
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(version.parts[i], c.parts[i]) << c.core << " part " << i;
        }
        if (core != INVALID_HANDLE_VALUE) {
            CloseHandle(core);
        }
    }
}

TEST_F(UpdateDecision, VersionFirstThenDigest)
{
    const std::string digest650 = DigestOf("fake_core_1_6_5_0");
    const std::string digest640 = DigestOf("fake_core_1_6_4_0");
    const std::string digestOther = DigestOf("fake_core_1_6_5_0_other");
    const std::string digestNone = DigestOf("fake_core_noversion");
    ASSERT_FALSE(digest650.empty() || digest640.empty() || digestOther.empty() || digestNone.empty());
    ASSERT_NE(digest650, digestOther);

    struct Case {
        const char* what;
        const char* core;
        const char* version;
        std::string sha256;
        UpdateAction action;
        UpdateEvidence evidence;
    } cases[] = {
        // A published digest that no core has: only the version can keep the core.
        {"newer installed starts without hashing", "fake_core_1_6_5_1", "1.6.5.0", digestOther, LaunchInstalled,
         EvidenceInstalledNewer},
        {"same version, same bytes", "fake_core_1_6_5_0", "1.6.5.0", digest650, LaunchInstalled,
         EvidenceDigestMatches},
        {"same version, other bytes", "fake_core_1_6_5_0", "1.6.5.0", digestOther, Download, EvidenceNone},
        {"older installed, same bytes", "fake_core_1_6_4_0", "1.6.5.0", digest640, LaunchInstalled,
         EvidenceDigestMatches},
        {"older installed, other bytes", "fake_core_1_6_4_0", "1.6.5.0", digest650, Download, EvidenceNone},
        {"no sha256, same version", "fake_core_1_6_5_0", "1.6.5.0", "", Download, EvidenceNone},
        {"no sha256, newer installed", "fake_core_1_7_0_0", "1.6.5.0", "", LaunchInstalled, EvidenceInstalledNewer},
        {"no installed core", "missing_core", "1.6.5.0", digest650, Download, EvidenceNone},
        {"published version without digits", "fake_core_1_6_4_0", "latest", digestOther, LaunchInstalled,
         EvidenceInstalledNewer},
        {"no published version goes to the digest", "fake_core_1_7_0_0", "", digestOther, Download, EvidenceNone},
        {"no version resource, same bytes", "fake_core_noversion", "1.6.5.0", digestNone, LaunchInstalled,
         EvidenceDigestMatches},
        {"no version resource, other bytes", "fake_core_noversion", "0.0.0.0", digest650, Download, EvidenceNone},
        {"uppercase published digest", "fake_core_1_6_5_0", "1.6.5.0", Upper(digest650), LaunchInstalled,
         EvidenceDigestMatches},
        {"published part wider than 16 bits", "fake_core_1_6_5_1", "1.6.70000.0", digestOther, Download,
         EvidenceNone},
        {"digest with trailing text", "fake_core_1_6_5_0", "1.6.5.0", digest650 + "00", Download, EvidenceNone},
    };
    for (const Case& c : cases) {
        UpdateEvidence evidence = EvidenceNone;
        const std::wstring path = Core(c.core);
        HANDLE core = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        CoreChecks checks;
        StartCoreChecks(core, path.c_str(), false, &checks);
        EXPECT_EQ(DecideUpdate(core, Release(c.version, c.sha256), &checks, &evidence), c.action) << c.what;
        EXPECT_STREQ(Name(evidence), Name(c.evidence)) << c.what;
        EndCoreChecks(&checks);
        if (core != INVALID_HANDLE_VALUE) {
            CloseHandle(core);
        }
    }
}
