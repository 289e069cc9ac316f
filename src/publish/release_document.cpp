// The metadata document of a release and its agreement with the core.
#include "publish/release_document.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "transfer/digest_text.h"
#include "update/release_info.h"
#include "update/version_text.h"

namespace {

// Appends one formatted line to report, cutting it when report is full.
void __attribute__((format(printf, 3, 4))) AddLine(char* report, size_t capacity, const char* format, ...)
{
    const size_t used = strlen(report);
    if (used + 1 >= capacity) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(report + used, capacity - used, format, arguments);
    va_end(arguments);
    const size_t end = strlen(report);
    if (end + 1 < capacity) {
        report[end] = '\n';
        report[end + 1] = '\0';
    }
}

}  // namespace

void ExamineCore(const unsigned char* bytes, size_t size, CoreFacts* facts)
{
    char sha256[kSha256HexBytes];
    Sha256Hex(bytes, size, sha256);
    ExamineCoreWithDigest(bytes, size, sha256, facts);
}

void ExamineCoreWithDigest(const unsigned char* bytes, size_t size, const char* sha256, CoreFacts* facts)
{
    memset(facts, 0, sizeof(*facts));
    facts->size = size;
    facts->hasVersion = ReadPeFileVersion(bytes, size, &facts->version, nullptr, &facts->versionProblem);
    snprintf(facts->sha256, sizeof(facts->sha256), "%s", sha256);
}

bool FormatReleaseDocument(const CoreFacts& facts, char* document, size_t capacity)
{
    char version[24];
    if (!facts.hasVersion || facts.sha256[0] == '\0' || capacity == 0) {
        return false;
    }
    FormatFileVersion(facts.version, version, sizeof(version));
    const int length = snprintf(document, capacity, "{\"version\": \"%s\", \"sha256\": \"%s\", \"size\": %llu}\n",
                                version, facts.sha256, static_cast<unsigned long long>(facts.size));
    return length > 0 && static_cast<size_t>(length) < capacity;
}

bool AddLauncherMembers(const CoreFacts& launcher, char* document, size_t capacity)
{
    char version[24];
    char members[kDocumentBytes];
    if (!launcher.hasVersion || launcher.sha256[0] == '\0' || document[0] != '{') {
        return false;
    }
    FormatFileVersion(launcher.version, version, sizeof(version));
    const int length = snprintf(members, sizeof(members),
                                "{\"%s\": \"%s\", \"%s\": \"%s\", \"%s\": %llu, %s", kLauncherVersionMember, version,
                                kLauncherDigestMember, launcher.sha256, kLauncherSizeMember,
                                static_cast<unsigned long long>(launcher.size), document + 1);
    if (length <= 0 || static_cast<size_t>(length) >= capacity || static_cast<size_t>(length) >= sizeof(members)) {
        return false;
    }
    memcpy(document, members, static_cast<size_t>(length) + 1);
    return true;
}

int ListLauncherDisagreements(const char* document, const CoreFacts& launcher, char* report, size_t capacity)
{
    LauncherRelease release;
    char version[24] = "";
    int count = 0;
    ReadLauncherRelease(document, &release);
    if (launcher.size <= kMinimumLauncherBytes || !launcher.hasVersion) {
        AddLine(report, capacity, "the launcher has %llu bytes or no version; launchers refuse it",
                static_cast<unsigned long long>(launcher.size));
        ++count;
    }
    if (launcher.hasVersion) {
        FormatFileVersion(launcher.version, version, sizeof(version));
    }
    if (release.version[0] == '\0' || !launcher.hasVersion ||
        CompareFileVersion(launcher.version, ParseVersionText(release.version)) != 0) {
        AddLine(report, capacity, "\"%s\" is \"%s\" but the launcher's file version is %s", kLauncherVersionMember,
                release.version, launcher.hasVersion ? version : "none");
        ++count;
    }
    if (release.sha256[0] == '\0' || !DigestTextsEqual(release.sha256, launcher.sha256)) {
        AddLine(report, capacity, "\"%s\" is \"%s\" but the launcher's SHA-256 is %s", kLauncherDigestMember,
                release.sha256, launcher.sha256);
        ++count;
    }
    if (release.size != launcher.size) {
        AddLine(report, capacity, "\"%s\" is %llu but the launcher has %llu bytes", kLauncherSizeMember,
                static_cast<unsigned long long>(release.size), static_cast<unsigned long long>(launcher.size));
        ++count;
    }
    return count;
}

int ListDisagreements(const char* document, const CoreFacts& core, char* report, size_t capacity)
{
    ReleaseInfo release;
    char coreVersion[24] = "";
    int count = 0;
    ReadReleaseInfo(document, &release);
    if (core.hasVersion) {
        FormatFileVersion(core.version, coreVersion, sizeof(coreVersion));
    }

    if (core.size <= kMinimumCoreBytes) {
        AddLine(report, capacity, "the executable has %llu bytes; the launcher rejects 1,000,000 bytes or fewer",
                static_cast<unsigned long long>(core.size));
        ++count;
    }
    if (!core.hasVersion) {
        AddLine(report, capacity, "the executable %s", core.versionProblem);
        ++count;
    }
    if (release.version[0] == '\0') {
        AddLine(report, capacity, "the document has no \"version\" the launcher can read");
        ++count;
    } else if (core.hasVersion && CompareFileVersion(core.version, ParseVersionText(release.version)) != 0) {
        AddLine(report, capacity, "\"version\" is %s but the executable's file version is %s", release.version,
                coreVersion);
        ++count;
    }
    if (release.sha256[0] == '\0') {
        AddLine(report, capacity, "the document has no \"sha256\" the launcher can read");
        ++count;
    } else if (!DigestTextsEqual(release.sha256, core.sha256)) {
        AddLine(report, capacity, "\"sha256\" is %s but the executable's SHA-256 is %s", release.sha256, core.sha256);
        ++count;
    }
    if (release.size == 0) {
        AddLine(report, capacity, "the document has no \"size\" the launcher can read");
        ++count;
    } else if (release.size != core.size) {
        AddLine(report, capacity, "\"size\" is %llu but the executable has %llu bytes",
                static_cast<unsigned long long>(release.size), static_cast<unsigned long long>(core.size));
        ++count;
    }
    return count;
}
