// The per-user run lock as another program meets it.
#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>

#include "shell/single_run.h"

// The run lock as another program meets it: owned by Administrators, and open
// to SYSTEM and Administrators only, whatever the folder it is made in allows.
TEST(RunLock, IsOwnedByAdministratorsAndOpenToNoOneElse)
{
    RunLock lock = {nullptr, nullptr};
    ASSERT_TRUE(TakeRunLock(&lock));
    ASSERT_NE(lock.mutex, nullptr);
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetSecurityInfo(lock.mutex, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                              &owner, nullptr, &dacl, nullptr, &descriptor), static_cast<DWORD>(ERROR_SUCCESS));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    EXPECT_TRUE(control & SE_DACL_PROTECTED);
    EXPECT_TRUE(IsWellKnownSid(owner, WinBuiltinAdministratorsSid));
    ASSERT_NE(dacl, nullptr);
    EXPECT_EQ(dacl->AceCount, 2);
    for (WORD i = 0; i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
        EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_TRUE(IsWellKnownSid(&ace->SidStart, WinLocalSystemSid) ||
                    IsWellKnownSid(&ace->SidStart, WinBuiltinAdministratorsSid));
    }
    LocalFree(descriptor);
    ReleaseRunLock(lock);
}
