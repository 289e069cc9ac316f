// The token the launcher writes with in folders that unelevated code controls,
// such as the shortcut on the user's desktop.
#include <gtest/gtest.h>

#include <windows.h>

#include "update/unelevated_rights.h"

namespace {

// The rights the shortcut is written with: Administrators only to deny with,
// impersonable for a write (the linked token is not).
TEST(UnelevatedToken, HasTheUsersRightsWithoutAdministratorsAndCanBeImpersonated)
{
    HANDLE token = nullptr;
    ASSERT_TRUE(MakeUnelevatedToken(&token));
    ASSERT_NE(token, nullptr) << "under Wine the process is elevated over a linked token";
    SECURITY_IMPERSONATION_LEVEL level = SecurityAnonymous;
    BYTE groups[8192];
    DWORD size = 0;
    EXPECT_TRUE(GetTokenInformation(token, TokenImpersonationLevel, &level, sizeof(level), &size));
    EXPECT_EQ(level, SecurityImpersonation);
    ASSERT_TRUE(GetTokenInformation(token, TokenGroups, groups, sizeof(groups), &size));
    const TOKEN_GROUPS* list = reinterpret_cast<TOKEN_GROUPS*>(groups);
    int administrators = 0;
    for (DWORD i = 0; i < list->GroupCount; ++i) {
        if (IsWellKnownSid(list->Groups[i].Sid, WinBuiltinAdministratorsSid)) {
            ++administrators;
            EXPECT_EQ(list->Groups[i].Attributes & (SE_GROUP_ENABLED | SE_GROUP_USE_FOR_DENY_ONLY),
                      static_cast<DWORD>(SE_GROUP_USE_FOR_DENY_ONLY));
        }
    }
    EXPECT_EQ(administrators, 1);
    CloseHandle(token);
}

}  // namespace
