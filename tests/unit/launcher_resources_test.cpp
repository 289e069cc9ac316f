// The shipped exe's resources: the icon group, the version block and the
// elevation manifest, read back from the built file with the system's own APIs.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

#pragma pack(push, 2)
struct IconGroupHeader {
    WORD reserved;
    WORD type;
    WORD count;
};
struct IconGroupEntry {
    BYTE width;
    BYTE height;
    BYTE colorCount;
    BYTE reserved;
    WORD planes;
    WORD bitCount;
    DWORD bytesInResource;
    WORD id;
};
#pragma pack(pop)

std::wstring LauncherPath()
{
    const char* exe = getenv("TOVRIN_LAUNCHER_EXE");
    std::wstring path = L"Z:";
    for (const char* p = exe != nullptr ? exe : ""; *p != '\0'; ++p) {
        path += *p == '/' ? L'\\' : static_cast<wchar_t>(*p);
    }
    return path;
}

class LauncherResources : public ::testing::Test {
protected:
    void SetUp() override
    {
        module = LoadLibraryExW(LauncherPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(module, nullptr) << "cannot load the launcher exe named by TOVRIN_LAUNCHER_EXE";
    }
    void TearDown() override
    {
        if (module != nullptr) {
            FreeLibrary(module);
        }
    }

    std::string Resource(LPCWSTR type, LPCWSTR name)
    {
        HRSRC found = FindResourceW(module, name, type);
        if (found == nullptr) {
            return std::string();
        }
        HGLOBAL loaded = LoadResource(module, found);
        return std::string(static_cast<const char*>(LockResource(loaded)), SizeofResource(module, found));
    }

    HMODULE module = nullptr;
};

std::wstring VersionString(const void* block, const wchar_t* name)
{
    wchar_t query[128];
    swprintf(query, 128, L"\\StringFileInfo\\040904B0\\%ls", name);
    wchar_t* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block, query, reinterpret_cast<void**>(&value), &length) || value == nullptr) {
        return L"<missing>";
    }
    return value;
}

}  // namespace

TEST_F(LauncherResources, IconGroupOneHoldsSevenSizesWithThe256PixelImageAsPng)
{
    const std::string group = Resource(RT_GROUP_ICON, MAKEINTRESOURCEW(1));
    ASSERT_GE(group.size(), sizeof(IconGroupHeader));
    const IconGroupHeader* header = reinterpret_cast<const IconGroupHeader*>(group.data());
    ASSERT_EQ(header->count, 7);
    ASSERT_EQ(group.size(), sizeof(IconGroupHeader) + 7 * sizeof(IconGroupEntry));
    const IconGroupEntry* entries = reinterpret_cast<const IconGroupEntry*>(group.data() + sizeof(IconGroupHeader));
    const int sizes[] = {16, 20, 24, 32, 48, 64, 256};
    for (int i = 0; i < 7; ++i) {
        const int size = entries[i].width == 0 ? 256 : entries[i].width;
        EXPECT_EQ(size, sizes[i]);
        EXPECT_EQ(entries[i].bitCount, 32) << size;
        const std::string image = Resource(RT_ICON, MAKEINTRESOURCEW(entries[i].id));
        ASSERT_GE(image.size(), 8u) << size;
        const bool png = image.compare(0, 8, "\x89PNG\r\n\x1a\n") == 0;
        EXPECT_EQ(png, size == 256) << size;
        if (!png) {
            const BITMAPINFOHEADER* bitmap = reinterpret_cast<const BITMAPINFOHEADER*>(image.data());
            EXPECT_EQ(bitmap->biWidth, size);
            EXPECT_EQ(bitmap->biBitCount, 32);
        }
    }
}

TEST_F(LauncherResources, VersionBlockNamesTheLauncher)
{
    const std::wstring path = LauncherPath();
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    ASSERT_GT(size, 0u);
    std::string block(size, '\0');
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, &block[0]));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedBytes = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedBytes));
    EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(0, 1));
    EXPECT_EQ(fixed->dwFileVersionLS, 0u);
    EXPECT_EQ(fixed->dwProductVersionMS, MAKELONG(6, 1));
    EXPECT_EQ(fixed->dwProductVersionLS, MAKELONG(0, 5));
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));

    const struct {
        const wchar_t* name;
        const wchar_t* value;
    } strings[] = {
        {L"FileVersion", L"1.0.0.0"},
        {L"ProductVersion", L"1.6.5.0"},
        {L"FileDescription", L"Tovrin Tools Launcher & Updater"},
        {L"ProductName", L"Tovrin Tools"},
        {L"CompanyName", L"Tovrin Tools"},
        {L"InternalName", L"TovrinTools"},
        {L"OriginalFilename", L"TovrinTools.exe"},
    };
    for (const auto& entry : strings) {
        EXPECT_EQ(VersionString(block.data(), entry.name), entry.value) << entry.name;
    }
}

TEST_F(LauncherResources, ManifestAsksForAdministratorAndNothingElse)
{
    const std::string manifest = Resource(RT_MANIFEST, MAKEINTRESOURCEW(1));
    EXPECT_NE(manifest.find("level=\"requireAdministrator\""), std::string::npos) << manifest;
    EXPECT_NE(manifest.find("uiAccess=\"false\""), std::string::npos) << manifest;
    // Classic controls and no DPI awareness: no common-controls dependency, no application settings.
    EXPECT_EQ(manifest.find("Microsoft.Windows.Common-Controls"), std::string::npos) << manifest;
    EXPECT_EQ(manifest.find("dpiAware"), std::string::npos) << manifest;
    EXPECT_EQ(manifest.find("<dependency"), std::string::npos) << manifest;
}
