// Paths in fixed buffers: joined whole or not at all, compared ignoring ASCII case only.
#include <gtest/gtest.h>

#include <string>

#include "common/path_text.h"

TEST(PathText, JoinUsesThePathOnlyWhenItFitsWhole)
{
    constexpr size_t kUnits = 260;
    const std::wstring name = L"TovrinTools_Launcher.exe";
    struct Case {
        size_t folderLength;
        bool fits;
    } cases[] = {
        {3, true},
        {259 - 1 - name.size(), true},   // 259 units and the terminator: the longest path
        {260 - 1 - name.size(), false},  // one unit more: would lose the terminator's place
        {259, false},                    // the folder alone fills the buffer
    };
    for (const Case& c : cases) {
        const std::wstring folder = L"C:\\" + std::wstring(c.folderLength - 3, L'x');
        wchar_t path[kUnits];
        path[0] = L'?';
        EXPECT_EQ(JoinPath(folder.c_str(), name.c_str(), path, kUnits), c.fits) << c.folderLength;
        EXPECT_EQ(std::wstring(path), c.fits ? folder + L"\\" + name : L"") << c.folderLength;
    }
    wchar_t none[1] = {L'?'};
    EXPECT_FALSE(JoinPath(L"", L"", none, 0));
    EXPECT_EQ(none[0], L'?');  // a zero-unit buffer is not touched
}

TEST(PathText, CaseIsIgnoredForAsciiLettersOnly)
{
    struct Case {
        const wchar_t* a;
        const wchar_t* b;
        bool equal;
    } cases[] = {
        {L"C:\\Users\\Ann\\TovrinTools_Launcher.exe", L"c:\\USERS\\ann\\tovrintools_launcher.EXE", true},
        {L"", L"", true},
        {L"AZaz09_\\", L"azAZ09_\\", true},
        {L"C:\\A", L"C:\\A\\", false},        // a prefix is not equal
        {L"C:\\A\\", L"C:\\A", false},
        {L"\u00c9t\u00e9", L"\u00e9t\u00e9", false},  // E acute and e acute: not ASCII
        {L"\u0130", L"i", false},                       // dotted capital I
        {L"\u212a", L"k", false},                       // Kelvin sign
        {L"@[`{", L"`{@[", false},                      // neighbours of the letter ranges
        {L"[", L"{", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(EqualIgnoringAsciiCase(c.a, c.b), c.equal) << std::wstring(c.a).size();
        EXPECT_EQ(EqualIgnoringAsciiCase(c.b, c.a), c.equal) << std::wstring(c.a).size();
    }
}

TEST(PathText, FinalPathsReadPlain)
{
    wchar_t plain[32];
    EXPECT_TRUE(PlainFinalPath(L"\\\\?\\C:\\Users\\Ann\\TovrinTools", plain, 32));
    EXPECT_EQ(std::wstring(plain), L"C:\\Users\\Ann\\TovrinTools");
    EXPECT_TRUE(PlainFinalPath(L"\\\\?\\UNC\\server\\share\\TovrinTools", plain, 32));
    EXPECT_EQ(std::wstring(plain), L"\\\\server\\share\\TovrinTools");
    EXPECT_FALSE(PlainFinalPath(L"\\\\?\\C:\\TovrinTools", plain, 8));  // would not fit whole
}

TEST(PathText, InsideAFolderMeansBelowItNotBesideIt)
{
    const wchar_t* folder = L"C:\\Users\\Ann\\TovrinTools";
    EXPECT_TRUE(IsInsideFolder(folder, L"c:\\users\\ann\\tovrintools\\TovrinTools_Launcher.exe"));
    EXPECT_TRUE(IsInsideFolder(folder, L"C:\\Users\\Ann\\TovrinTools\\sub\\x.exe"));
    EXPECT_FALSE(IsInsideFolder(folder, L"C:\\Users\\Ann\\TovrinTools"));
    EXPECT_FALSE(IsInsideFolder(folder, L"C:\\Users\\Ann\\TovrinTools\\"));
    EXPECT_FALSE(IsInsideFolder(folder, L"C:\\Users\\Ann\\TovrinTools.untrusted-1\\x.exe"));
    EXPECT_FALSE(IsInsideFolder(L"", L"\\x.exe"));
}
