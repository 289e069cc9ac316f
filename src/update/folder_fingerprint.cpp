// The install folder's fingerprint: read from a security descriptor's bytes
// and compared with the record. The launcher sets the same owner and DACL on
// the folder on every run, so what it reads back is the same each time; the
// DACL's header (its size may keep unused room) and the other control bits
// are left out, as the system may store them differently from run to run.
#include "update/folder_fingerprint.h"

#include <cstring>

namespace {

constexpr uint16_t kSelfRelative = 0x8000;
constexpr uint16_t kDaclPresent = 0x0004;
constexpr uint16_t kDaclProtected = 0x1000;
constexpr size_t kDescriptorHeaderBytes = 20;
constexpr size_t kAclHeaderBytes = 8;
constexpr size_t kAceHeaderBytes = 4;
// S-1-5-32-544, BUILTIN\Administrators.
constexpr uint8_t kAdministrators[] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 32, 2, 0, 0};

uint16_t Read16(const uint8_t* at)
{
    return static_cast<uint16_t>(at[0] | at[1] << 8);
}

uint32_t Read32(const uint8_t* at)
{
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
           static_cast<uint32_t>(at[3]) << 24;
}

bool OwnedByAdministrators(const FolderFingerprint& fingerprint)
{
    return fingerprint.ownerBytes == sizeof(kAdministrators) &&
           memcmp(fingerprint.owner, kAdministrators, sizeof(kAdministrators)) == 0;
}

bool SameFingerprint(const FolderFingerprint& a, const FolderFingerprint& b)
{
    return a.ownerBytes == b.ownerBytes && memcmp(a.owner, b.owner, a.ownerBytes) == 0 &&
           a.daclProtected == b.daclProtected && a.aceBytes == b.aceBytes && memcmp(a.aces, b.aces, a.aceBytes) == 0;
}

}  // namespace

bool ReadFolderFingerprint(const uint8_t* descriptor, size_t bytes, FolderFingerprint* fingerprint)
{
    memset(fingerprint, 0, sizeof(*fingerprint));
    if (bytes < kDescriptorHeaderBytes || descriptor[0] != 1) {
        return false;
    }
    const uint16_t control = Read16(descriptor + 2);
    const size_t owner = Read32(descriptor + 4);
    const size_t dacl = Read32(descriptor + 16);
    if ((control & kSelfRelative) == 0 || (control & kDaclPresent) == 0 || owner == 0 || dacl == 0 ||
        owner > bytes - 8 || dacl > bytes - kAclHeaderBytes) {
        return false;
    }
    const size_t ownerBytes = 8 + 4 * static_cast<size_t>(descriptor[owner + 1]);
    if (descriptor[owner] != 1 || ownerBytes > kFingerprintOwnerBytes || ownerBytes > bytes - owner) {
        return false;
    }
    memcpy(fingerprint->owner, descriptor + owner, ownerBytes);
    fingerprint->ownerBytes = static_cast<uint8_t>(ownerBytes);
    fingerprint->daclProtected = (control & kDaclProtected) != 0 ? 1 : 0;

    const size_t aclSize = Read16(descriptor + dacl + 2);
    const unsigned aceCount = Read16(descriptor + dacl + 4);
    if (aclSize < kAclHeaderBytes || aclSize > bytes - dacl) {
        return false;
    }
    size_t at = kAclHeaderBytes;
    for (unsigned ace = 0; ace < aceCount; ++ace) {
        if (aclSize - at < kAceHeaderBytes) {
            return false;
        }
        const size_t aceSize = Read16(descriptor + dacl + at + 2);
        if (aceSize < kAceHeaderBytes || aceSize > aclSize - at) {
            return false;
        }
        at += aceSize;
    }
    const size_t aceBytes = at - kAclHeaderBytes;
    if (aceBytes > kFingerprintAceBytes) {
        return false;
    }
    memcpy(fingerprint->aces, descriptor + dacl + kAclHeaderBytes, aceBytes);
    fingerprint->aceBytes = static_cast<uint16_t>(aceBytes);
    return true;
}

FolderMatch MatchFolder(bool sameId, const FolderFingerprint* recorded, const FolderFingerprint& now)
{
    if (!sameId) {
        return FolderMatchOther;
    }
    // The older record knew only the ID, which a new folder can come to share;
    // a folder that no standard user could have made is still the launcher's.
    if (recorded == nullptr) {
        return OwnedByAdministrators(now) && now.daclProtected != 0 ? FolderMatchUpgrade : FolderMatchOlderForm;
    }
    // Where the system kept the owner the launcher gave the folder, the record
    // holds Administrators, which no standard user can make an owner: the same
    // owner is then proof of the maker as well.
    return SameFingerprint(*recorded, now) ? FolderMatchSame : FolderMatchChanged;
}
