// The judgement of a record key's security descriptor, read from its
// self-relative form byte by byte, so that it needs no system call.
#include "update/record_key_rights.h"

#include <cstring>

namespace {

constexpr uint16_t kSelfRelative = 0x8000;
constexpr uint16_t kDaclPresent = 0x0004;
constexpr size_t kDescriptorHeaderBytes = 20;
constexpr size_t kAclHeaderBytes = 8;
constexpr size_t kAceHeaderBytes = 4;
constexpr uint8_t kInheritOnly = 0x08;
// The allow types; the plain and the callback form keep their SID right after the mask.
constexpr uint8_t kAllowed = 0x00;
constexpr uint8_t kAllowedCompound = 0x04;
constexpr uint8_t kAllowedObject = 0x05;
constexpr uint8_t kAllowedCallback = 0x09;
constexpr uint8_t kAllowedCallbackObject = 0x0B;
// KEY_SET_VALUE, KEY_CREATE_SUB_KEY, KEY_CREATE_LINK, DELETE, WRITE_DAC,
// WRITE_OWNER, MAXIMUM_ALLOWED, GENERIC_ALL and GENERIC_WRITE.
constexpr uint32_t kChangingRights = 0x2 | 0x4 | 0x20 | 0x10000 | 0x40000 | 0x80000 | 0x02000000 | 0x10000000 |
                                     0x40000000;

// S-1-5-18 and S-1-5-32-544.
constexpr uint8_t kSystemSid[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
constexpr uint8_t kAdministratorsSid[] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};

uint16_t Read16(const uint8_t* at)
{
    return static_cast<uint16_t>(at[0] | at[1] << 8);
}

uint32_t Read32(const uint8_t* at)
{
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
           static_cast<uint32_t>(at[3]) << 24;
}

// Whether the SID at sid (within limit bytes) is SYSTEM or Administrators.
bool IsAdministrative(const uint8_t* sid, size_t limit)
{
    return (limit >= sizeof(kSystemSid) && memcmp(sid, kSystemSid, sizeof(kSystemSid)) == 0) ||
           (limit >= sizeof(kAdministratorsSid) && memcmp(sid, kAdministratorsSid, sizeof(kAdministratorsSid)) == 0);
}

// Whether the ACE of size bytes at ace lets anyone but SYSTEM or
// Administrators change the key.
bool LetsOthersWrite(const uint8_t* ace, size_t size)
{
    const uint8_t type = ace[0];
    const bool allows = type == kAllowed || type == kAllowedCompound || type == kAllowedObject ||
                        type == kAllowedCallback || type == kAllowedCallbackObject;
    if (!allows || (ace[1] & kInheritOnly) != 0 || size < kAceHeaderBytes + 4 ||
        (Read32(ace + kAceHeaderBytes) & kChangingRights) == 0) {
        return false;
    }
    const size_t sidAt = kAceHeaderBytes + 4;
    return !(type == kAllowed || type == kAllowedCallback) || !IsAdministrative(ace + sidAt, size - sidAt);
}

}  // namespace

bool OnlyAdministratorsMayWrite(const uint8_t* descriptor, size_t bytes)
{
    if (bytes < kDescriptorHeaderBytes) {
        return false;
    }
    const uint16_t control = Read16(descriptor + 2);
    const uint32_t owner = Read32(descriptor + 4);
    const uint32_t dacl = Read32(descriptor + 16);
    if ((control & kSelfRelative) == 0 || (control & kDaclPresent) == 0 || dacl == 0 || owner == 0 ||
        owner >= bytes || dacl > bytes - kAclHeaderBytes || !IsAdministrative(descriptor + owner, bytes - owner)) {
        return false;
    }
    const uint8_t* acl = descriptor + dacl;
    const size_t aclBytes = Read16(acl + 2);
    const uint16_t count = Read16(acl + 4);
    if (aclBytes < kAclHeaderBytes || aclBytes > bytes - dacl) {
        return false;
    }
    size_t at = kAclHeaderBytes;
    for (uint16_t i = 0; i < count; ++i) {
        if (aclBytes - at < kAceHeaderBytes) {
            return false;
        }
        const size_t size = Read16(acl + at + 2);
        if (size < kAceHeaderBytes || size > aclBytes - at || LetsOthersWrite(acl + at, size)) {
            return false;
        }
        at += size;
    }
    return true;
}
