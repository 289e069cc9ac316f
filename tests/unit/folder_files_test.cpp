// The protected install folder's security descriptor, as built.
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include "common/folder_files.h"

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
