// The protected install folder's security descriptor, as built, and how a folder found is told for the recorded one.
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <vector>

#include "common/folder_files.h"
#include "update/folder_fingerprint.h"

// As built, since Wine keeps neither owner nor label on files: protected (P), inherited inside (OICI), the
// user (here BU) may only read and run (0x1200a9), and a High no-write-up label keeps lower integrity out.
TEST(FolderSecurity, AdministratorsOwnItTheUserOnlyReadsAndHighLabelBarsWriting)
{
    BYTE user[SECURITY_MAX_SID_SIZE];
    DWORD bytes = sizeof(user);
    ASSERT_TRUE(CreateWellKnownSid(WinBuiltinUsersSid, nullptr, user, &bytes));  // stands in for the user
    FolderSecurity security;
    ASSERT_TRUE(BuildFolderSecurity(user, &security));
    wchar_t* text = nullptr;
    ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(
        &security.descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr));
    EXPECT_STREQ(text, L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)");
    LocalFree(text);
    PACL sacl = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    SYSTEM_MANDATORY_LABEL_ACE* label = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorSacl(&security.descriptor, &present, &sacl, &defaulted) && sacl->AceCount == 1 &&
                GetAce(sacl, 0, reinterpret_cast<void**>(&label)));
    EXPECT_TRUE(IsWellKnownSid(&label->SidStart, WinHighLabelSid) && label->Mask == SYSTEM_MANDATORY_LABEL_NO_WRITE_UP &&
                label->Header.AceType == SYSTEM_MANDATORY_LABEL_ACE_TYPE &&
                label->Header.AceFlags == (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE));
}

// A folder is the recorded one only with its ID and with the owner, protection and entries recorded: none of
// them can a standard user make as the launcher did. Descriptors as the system reads them back (self-relative).
TEST(FolderFingerprint, OnlyTheRecordedFolderAsTheLauncherLeftItMatches)
{
    const wchar_t* made = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
    struct Case {
        const char* name;
        bool sameId;
        bool olderRecord;
        const wchar_t* now;
        FolderMatch expected;
    } cases[] = {
        {"same", true, false, made, FolderMatchSame},
        {"another folder", false, false, made, FolderMatchOther},
        {"owner changed", true, false, L"O:BUD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)",
         FolderMatchChanged},
        {"DACL not protected", true, false, L"O:BAD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)",
         FolderMatchChanged},
        {"entry added", true, false, L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)(A;;FA;;;WD)",
         FolderMatchChanged},
        {"entry changed", true, false, L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;BU)", FolderMatchChanged},
        {"older record, Administrators' and protected", true, true, made, FolderMatchUpgrade},
        {"older record, the user's", true, true, L"O:BUD:P(A;OICI;FA;;;SY)", FolderMatchOlderForm},
        {"older record, not protected", true, true, L"O:BAD:(A;OICI;FA;;;SY)", FolderMatchOlderForm},
        {"older record, another folder", false, true, made, FolderMatchOther},
    };
    auto fingerprint = [](const wchar_t* sddl, FolderFingerprint* read) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ULONG bytes = 0;
        const bool ok = ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                                             &bytes) &&
                        ReadFolderFingerprint(static_cast<const uint8_t*>(descriptor), bytes, read);
        LocalFree(descriptor);
        return ok;
    };
    FolderFingerprint recorded;
    ASSERT_TRUE(fingerprint(made, &recorded));
    for (const Case& c : cases) {
        FolderFingerprint now;
        ASSERT_TRUE(fingerprint(c.now, &now)) << c.name;
        EXPECT_EQ(MatchFolder(c.sameId, c.olderRecord ? nullptr : &recorded, now), c.expected) << c.name;
    }
    // A NULL DACL (anyone may do anything), or a descriptor cut short: no fingerprint.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ULONG bytes = 0;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(made, SDDL_REVISION_1, &descriptor, &bytes));
    std::vector<uint8_t> copy(static_cast<uint8_t*>(descriptor), static_cast<uint8_t*>(descriptor) + bytes);
    LocalFree(descriptor);
    FolderFingerprint none;
    EXPECT_FALSE(ReadFolderFingerprint(copy.data(), copy.size() - 4, &none));
    std::fill(copy.begin() + 16, copy.begin() + 20, 0);  // the DACL's offset
    EXPECT_FALSE(ReadFolderFingerprint(copy.data(), copy.size(), &none));
}
