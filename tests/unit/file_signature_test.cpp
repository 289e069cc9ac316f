// Authenticode check held to signer pins, on fake cores signed with the build's
// test keys.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transfer/file_signature.h"
#include "signed_samples.h"
#include "test_support.h"

namespace {

class FileSignature : public SignedSamples {
protected:
    // FileSignedByPinnedKey's answer for the file at path (false when there is none).
    static bool Holds(const std::wstring& path, const std::vector<std::string>& pins)
    {
        std::vector<const char*> texts;
        for (const std::string& pin : pins) {
            texts.push_back(pin.c_str());
        }
        HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        const bool result = file != INVALID_HANDLE_VALUE &&
                            FileSignedByPinnedKey(file, path.c_str(), texts.data(), texts.size());
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
        }
        return result;
    }
};

TEST_F(FileSignature, AcceptsOnlyAnIntactSignatureByAPinnedKey)
{
    std::string upperPublisher = publisher_;
    for (char& c : upperPublisher) {
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    }
    struct Case {
        const char* name;
        std::wstring path;
        std::vector<std::string> pins;
        bool signedByPinned;
    } cases[] = {
        {"publisher's core, publisher pinned", Sample(L"publisher_1_6_5_0.exe"), {publisher_}, true},
        {"pin written in upper case", Sample(L"publisher_1_6_5_0.exe"), {upperPublisher}, true},
        {"second of two pins (key rollover)", Sample(L"publisher_1_6_5_0.exe"), {stranger_, publisher_}, true},
        {"publisher's core, only the stranger pinned", Sample(L"publisher_1_6_5_0.exe"), {stranger_}, false},
        {"no pins at all", Sample(L"publisher_1_6_5_0.exe"), {}, false},
        {"stranger's core", Sample(L"stranger_1_6_5_0.exe"), {publisher_}, false},
        {"changed after signing", Sample(L"changed_1_6_5_0.exe"), {publisher_}, false},
        {"unsigned core", HelperPath(L"fake_core_1_6_5_0.exe"), {publisher_}, false},
        {"no such file", Sample(L"missing.exe"), {publisher_}, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Holds(c.path, c.pins), c.signedByPinned) << c.name;
    }
}

}  // namespace
