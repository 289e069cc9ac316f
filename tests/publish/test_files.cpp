// Files the release tool tests work on.
#include "test_files.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

std::string Environment(const char* name)
{
    const char* value = getenv(name);
    EXPECT_NE(value, nullptr) << name << " is not set (run the tests through ctest)";
    return value == nullptr ? std::string() : std::string(value);
}

}  // namespace

std::string FakeCorePath(const char* name)
{
    return Environment("TOVRIN_FAKE_CORES_DIR") + "/" + name + ".exe";
}

std::string CoreX86Path()
{
    return TOVRIN_CORE_X86;
}

std::string CoreX86VariantPath(const char* variant)
{
    const std::string plain = TOVRIN_CORE_X86;
    return plain.substr(0, plain.size() - 4) + "_" + variant + ".exe";
}

std::vector<unsigned char> ReadBytes(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    EXPECT_TRUE(file.good()) << "cannot open " << path;
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const std::vector<unsigned char>& bytes)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(file.good()) << "cannot write " << path;
}

std::string MakeTempFolder()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "tovrin-publish-test.XXXXXX").string();
    EXPECT_NE(mkdtemp(pattern.data()), nullptr);
    return pattern;
}

void RemoveTree(const std::string& path)
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}
