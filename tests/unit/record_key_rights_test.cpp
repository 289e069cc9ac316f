// Which record keys are trusted: only those that nobody but SYSTEM and
// Administrators can change, read from the key's security descriptor.
#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <vector>

#include "update/record_key_rights.h"

TEST(RecordKeyRights, OnlyKeysThatNobodyElseMayChangeAreTrusted)
{
    struct Case {
        const wchar_t* sddl;
        bool trusted;
    } cases[] = {
        {L"O:BAD:P(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)(A;OICI;KR;;;BU)", true},  // the launcher's own
        {L"O:BAD:(A;CIIO;GR;;;BU)(A;;KA;;;BA)", true},                        // Wine's HKLM\SOFTWARE
        {L"O:SYD:AI(A;CIIO;GA;;;CO)(A;ID;KA;;;SY)(A;ID;KA;;;BA)(A;ID;KR;;;BU)", true},  // inherited from SOFTWARE
        {L"O:BAD:P(A;;KA;;;BA)(D;;KA;;;BU)(A;CIIO;KA;;;BU)", true},  // denied, or only for subkeys
        {L"O:BAD:P(A;;KA;;;BA)(A;;0x2;;;BU)", false},                // Users may set values
        {L"O:BAD:P(A;;KA;;;BA)(A;;WD;;;IU)", false},                 // or change its rights
        {L"O:BAD:P(A;;KA;;;BA)(A;;GA;;;WD)", false},
        {L"O:S-1-5-21-1-2-3-1000D:P(A;;KA;;;BA)", false},  // a user's key: its owner may rewrite the rights
    };
    for (const Case& c : cases) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(c.sddl, SDDL_REVISION_1, &descriptor,
                                                                         nullptr))
            << c.sddl;
        const auto* bytes = static_cast<const uint8_t*>(descriptor);
        const size_t length = GetSecurityDescriptorLength(descriptor);
        EXPECT_EQ(OnlyAdministratorsMayWrite(bytes, length), c.trusted) << c.sddl;
        // Cut short anywhere, it is never trusted.
        for (size_t cut = 0; cut < length; ++cut) {
            EXPECT_FALSE(c.trusted && OnlyAdministratorsMayWrite(bytes, cut)) << c.sddl << " cut at " << cut;
        }
        // Without a DACL (a null one: anyone may do anything) it is never trusted either.
        std::vector<uint8_t> copy(bytes, bytes + length);
        copy[16] = copy[17] = copy[18] = copy[19] = 0;
        EXPECT_FALSE(OnlyAdministratorsMayWrite(copy.data(), length)) << c.sddl;
        LocalFree(descriptor);
    }
}
