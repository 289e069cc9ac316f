// The PE version reader: real 32- and 64-bit executables, and files damaged in
// every place the reader follows a pointer. Built natively (tests/publish) with
// the sanitizers, so a read outside the file fails the test even where the
// result looks right.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "update/pe_version.h"
#include "test_files.h"

namespace {

using Bytes = std::vector<unsigned char>;

uint32_t Get32(const Bytes& b, size_t at)
{
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

void Put16(Bytes& b, size_t at, uint16_t value)
{
    b[at] = static_cast<unsigned char>(value);
    b[at + 1] = static_cast<unsigned char>(value >> 8);
}

void Put32(Bytes& b, size_t at, uint32_t value)
{
    Put16(b, at, static_cast<uint16_t>(value));
    Put16(b, at + 2, static_cast<uint16_t>(value >> 16));
}

// Where the structures the reader follows lie in a well-formed file, so that a
// test can damage exactly one of them.
struct Layout {
    size_t fileHeader;         // COFF file header
    size_t optional;           // optional header
    size_t resourceDirectory;  // data directory entry 2 (RVA, size)
    size_t resourceSection;    // section header holding the resources
    size_t resourceData;       // file offset of the resource data
    size_t versionTypeEntry;   // root directory entry of RT_VERSION
    size_t dataEntry;          // IMAGE_RESOURCE_DATA_ENTRY of the version block
    size_t block;              // file offset of VS_VERSIONINFO
    size_t headersEnd;         // end of the section table
};

Layout Locate(const Bytes& b)
{
    Layout l = {};
    l.fileHeader = Get32(b, 0x3C) + 4;
    l.optional = l.fileHeader + 20;
    const bool is64 = b[l.optional] == 0x0b && b[l.optional + 1] == 0x02;
    l.resourceDirectory = l.optional + (is64 ? 112 : 96) + 16;
    const uint32_t resourceRva = Get32(b, l.resourceDirectory);
    const size_t sections = l.optional + (b[l.fileHeader + 16] | b[l.fileHeader + 17] << 8);
    const size_t count = b[l.fileHeader + 2] | b[l.fileHeader + 3] << 8;
    l.headersEnd = sections + 40 * count;
    for (size_t i = 0; i < count; ++i) {
        const size_t header = sections + 40 * i;
        if (Get32(b, header + 12) == resourceRva) {
            l.resourceSection = header;
            l.resourceData = Get32(b, header + 20);
        }
    }
    auto at = [&](uint32_t offset) { return l.resourceData + (offset & 0x7FFFFFFFu); };
    auto firstChild = [&](size_t directory) { return directory + 16; };
    size_t entry = firstChild(l.resourceData);
    while (Get32(b, entry) != 16) {
        entry += 8;
    }
    l.versionTypeEntry = entry;
    const size_t nameEntry = firstChild(at(Get32(b, entry + 4)));
    const size_t languageEntry = firstChild(at(Get32(b, nameEntry + 4)));
    l.dataEntry = at(Get32(b, languageEntry + 4));
    l.block = l.resourceData + (Get32(b, l.dataEntry) - resourceRva);
    return l;
}

struct Outcome {
    bool ok;
    std::string text;  // version or problem
};

Outcome Read(const Bytes& bytes)
{
    // An exact-size copy, so the sanitizer sees any read past the end.
    unsigned char* copy = new unsigned char[bytes.size() + 1];
    if (!bytes.empty()) {
        memcpy(copy, bytes.data(), bytes.size());
    }
    FileVersionQuad version = {};
    bool is64Bit = false;
    const char* problem = nullptr;
    const bool ok = ReadPeFileVersion(copy, bytes.size(), &version, &is64Bit, &problem);
    delete[] copy;
    if (!ok) {
        EXPECT_NE(problem, nullptr);
        return {false, problem == nullptr ? "" : problem};
    }
    EXPECT_EQ(problem, nullptr);
    char text[24];
    FormatFileVersion(version, text, sizeof(text));
    return {true, std::string(text) + (is64Bit ? " 64-bit" : " 32-bit")};
}

const char kNotExecutable[] = "is not a Windows PE executable";
const char kNoVersion[] = "has no version resource";
const char kOutside[] = "has a resource section that points outside the file";
const char kDamagedVersion[] = "has a damaged version resource";

}  // namespace

TEST(PeVersion, ReadsTheFixedFileVersionOf32And64BitExecutables)
{
    struct Case {
        std::string path;
        const char* expected;
    } cases[] = {
        {FakeCorePath("fake_core_1_6_5_0"), "1.6.5.0 64-bit"},
        {FakeCorePath("fake_core_1_6_5_1"), "1.6.5.1 64-bit"},
        {FakeCorePath("fake_core_1_6_4_0"), "1.6.4.0 64-bit"},
        {FakeCorePath("fake_core_1_7_0_0"), "1.7.0.0 64-bit"},
        {CoreX86Path(), "3.2.1.0 32-bit"},  // product version 9.9.9.9 must not be read
        // Two languages of ID 1 that agree; blocks named BETA and ID 2 say 9.9.9.9.
        {CoreX86VariantPath("languages_agree"), "3.2.1.0 32-bit"},
    };
    for (const Case& c : cases) {
        const Outcome outcome = Read(ReadBytes(c.path));
        EXPECT_TRUE(outcome.ok) << c.path << ": " << outcome.text;
        EXPECT_EQ(outcome.text, c.expected) << c.path;
    }
}

TEST(PeVersion, ExecutableWithoutVersionResourceIsNamedSo)
{
    EXPECT_EQ(Read(ReadBytes(FakeCorePath("fake_core_noversion"))).text, kNoVersion);
    Bytes noDirectory = ReadBytes(CoreX86Path());
    Put32(noDirectory, Locate(noDirectory).resourceDirectory, 0);
    EXPECT_EQ(Read(noDirectory).text, kNoVersion);
}

TEST(PeVersion, RejectsWhatIsNotAWindowsExecutable)
{
    const Bytes good = ReadBytes(CoreX86Path());
    const Layout l = Locate(good);
    struct Case {
        const char* what;
        Bytes bytes;
        const char* problem;
    } cases[] = {
        {"empty", {}, kNotExecutable},
        {"text", Bytes(200, 'x'), kNotExecutable},
        {"ELF", Bytes{0x7f, 'E', 'L', 'F'}, kNotExecutable},
        {"MZ stub only", Bytes(good.begin(), good.begin() + 64), kNotExecutable},
        {"no PE signature", good, kNotExecutable},
        {"PE header beyond the file", good, kNotExecutable},
        {"unknown optional header", good, kNotExecutable},
        {"optional header too short", good, kNotExecutable},
        {"not marked executable", good, kNotExecutable},
        {"a DLL", good, "is a DLL, not a Windows executable"},
        {"section table beyond the file", good, kNotExecutable},
    };
    cases[4].bytes[l.fileHeader - 4] = 'X';
    Put32(cases[5].bytes, 0x3C, 0xFFFFFFF0u);
    Put16(cases[6].bytes, l.optional, 0x107);
    Put16(cases[7].bytes, l.fileHeader + 16, 64);
    cases[8].bytes[l.fileHeader + 18] &= static_cast<unsigned char>(~0x02);
    cases[9].bytes[l.fileHeader + 19] |= 0x20;
    Put16(cases[10].bytes, l.fileHeader + 2, 0xFFFF);
    for (const Case& c : cases) {
        const Outcome outcome = Read(c.bytes);
        EXPECT_FALSE(outcome.ok) << c.what;
        EXPECT_EQ(outcome.text, c.problem) << c.what;
    }
}

TEST(PeVersion, RefusesWhatWindowsWouldNotReadTheVersionOfOrStart)
{
    const Bytes x64 = ReadBytes(FakeCorePath("fake_core_1_6_5_0"));
    const Bytes x86 = ReadBytes(CoreX86Path());
    const Layout l64 = Locate(x64);
    const Layout l86 = Locate(x86);
    const char kWrongMachine[] = "is not built for x64 or x86 processors";
    const char kWrongSubsystem[] = "is not a Windows GUI or console program (a driver or other system image)";
    struct Case {
        const char* what;
        Bytes bytes;
        size_t at;  // a 16-bit field set to value, unless 0
        uint16_t value;
        const char* problem;
    } cases[] = {
        {"ARM64", x64, l64.fileHeader, 0xAA64, kWrongMachine},
        {"ARM", x86, l86.fileHeader, 0x01C4, kWrongMachine},
        {"x64 machine in a 32-bit image", x86, l86.fileHeader, 0x8664, kWrongMachine},
        {"x86 machine in a 64-bit image", x64, l64.fileHeader, 0x014C, kWrongMachine},
        {"driver (native subsystem)", x64, l64.optional + 68, 1, kWrongSubsystem},
        {"EFI application", x64, l64.optional + 68, 10, kWrongSubsystem},
        {"unknown subsystem", x86, l86.optional + 68, 0, kWrongSubsystem},
        {"ID 1 in two languages with different versions", ReadBytes(CoreX86VariantPath("languages_differ")), 0, 0,
         "has version resources in several languages with different file versions; which one Windows reads depends "
         "on the user's language"},
        {"versions only under ID 2 and a name", ReadBytes(CoreX86VariantPath("other_id")), 0, 0,
         "has no version resource with ID 1, the only one Windows reads"},
    };
    for (Case& c : cases) {
        if (c.at != 0) {
            Put16(c.bytes, c.at, c.value);
        }
        const Outcome outcome = Read(c.bytes);
        EXPECT_FALSE(outcome.ok) << c.what;
        EXPECT_EQ(outcome.text, c.problem) << c.what;
    }
    // The console subsystem is a program like the GUI one.
    Bytes console = x64;
    Put16(console, l64.optional + 68, 3);
    EXPECT_EQ(Read(console).text, "1.6.5.0 64-bit");
}

TEST(PeVersion, DamagedResourcePointersAreRefusedNotFollowed)
{
    const Bytes good = ReadBytes(CoreX86Path());
    const Layout l = Locate(good);
    struct Damage {
        const char* what;
        size_t at;
        uint32_t value;
        const char* problem;
    } damages[] = {
        {"resource directory RVA in no section", l.resourceDirectory, 0x7FFFFFF0u, kOutside},
        {"resource section data beyond the file", l.resourceSection + 20, 0xFFFFFF00u, kOutside},
        {"resource section data ends past the file", l.resourceSection + 20, static_cast<uint32_t>(good.size() - 8),
         kOutside},
        {"RT_VERSION subdirectory outside", l.versionTypeEntry + 4, 0xFFFFFFF0u, kOutside},
        {"RT_VERSION entry is a leaf", l.versionTypeEntry + 4, 0x10, kOutside},
        {"version data RVA outside", l.dataEntry, 0x7FFFFFF0u, kOutside},
        {"version data size past the section", l.dataEntry + 4, 0x100000u, kOutside},
        {"version data size wraps", l.dataEntry + 4, 0xFFFFFFFFu, kOutside},
        {"entry count runs off the section", l.resourceData + 12, 0xFFFFFFFFu, kOutside},
        {"block too short for the fixed part", l.dataEntry + 4, 40, kDamagedVersion},
        {"block length beyond its data", l.block, 0xFFFF, kDamagedVersion},
        {"wrong key", l.block + 6, 'X', kDamagedVersion},
        {"no fixed-part signature", l.block + 40, 0x12345678u, kDamagedVersion},
    };
    for (const Damage& d : damages) {
        Bytes bytes = good;
        if (d.at == l.block + 6) {
            bytes[d.at] = static_cast<unsigned char>(d.value);
        } else if (d.at == l.block) {
            Put16(bytes, d.at, static_cast<uint16_t>(d.value));
        } else {
            Put32(bytes, d.at, d.value);
        }
        const Outcome outcome = Read(bytes);
        EXPECT_FALSE(outcome.ok) << d.what;
        EXPECT_EQ(outcome.text, d.problem) << d.what;
    }
}

TEST(PeVersion, EveryTruncationIsRefused)
{
    // The 32-bit file is small enough to cut at every length; of the 64-bit one
    // every header length and every length into its version block.
    const Bytes small = ReadBytes(CoreX86Path());
    const Layout sl = Locate(small);
    for (size_t length = 0; length < sl.block + 92; ++length) {
        EXPECT_FALSE(Read(Bytes(small.begin(), small.begin() + length)).ok) << "32-bit cut at " << length;
    }
    const Bytes large = ReadBytes(FakeCorePath("fake_core_1_6_5_0"));
    const Layout ll = Locate(large);
    for (size_t length = 0; length <= ll.headersEnd; ++length) {
        EXPECT_FALSE(Read(Bytes(large.begin(), large.begin() + length)).ok) << "64-bit cut at " << length;
    }
    for (size_t length = ll.block; length < ll.block + 92; length += 3) {
        EXPECT_FALSE(Read(Bytes(large.begin(), large.begin() + length)).ok) << "64-bit cut at " << length;
    }
}

TEST(PeVersion, RandomDamageNeverReadsOutsideTheFile)
{
    // Fixed seed: the same thousands of damaged files on every run. Each either
    // yields a version or a reason; the sanitizers catch any stray read.
    const Bytes good = ReadBytes(CoreX86Path());
    const Layout l = Locate(good);
    std::mt19937 random(20261209);
    std::uniform_int_distribution<size_t> headerByte(0, l.headersEnd - 1);
    std::uniform_int_distribution<size_t> resourceByte(l.resourceData, good.size() - 1);
    std::uniform_int_distribution<int> value(0, 255);
    int refused = 0;
    for (int round = 0; round < 20000; ++round) {
        Bytes bytes = good;
        for (int i = 0; i < 3; ++i) {
            const size_t at = (round % 4 == 0) ? headerByte(random) : resourceByte(random);
            bytes[at] = static_cast<unsigned char>(value(random));
        }
        refused += Read(bytes).ok ? 0 : 1;
    }
    // Most damage to pointers is caught; a sweep that refuses nothing is not reaching the reader.
    EXPECT_GT(refused, 1000);
}
