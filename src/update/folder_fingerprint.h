// What a folder's security descriptor, read back from the folder, says about
// who made it: its owner, whether its DACL is protected, and the DACL's entries.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kFingerprintOwnerBytes = 68;  // the largest SID
constexpr size_t kFingerprintAceBytes = 320;

// Kept in the folder's record as it is: fixed size, no padding.
struct FolderFingerprint {
    uint8_t owner[kFingerprintOwnerBytes];
    uint8_t ownerBytes;
    uint8_t daclProtected;
    uint16_t aceBytes;
    uint8_t aces[kFingerprintAceBytes];
};
static_assert(sizeof(FolderFingerprint) == kFingerprintOwnerBytes + 4 + kFingerprintAceBytes, "no padding");

// Reads the owner, the DACL's protection and its entries out of a self-relative
// security descriptor of bytes. False when it is malformed, has no owner or no
// DACL (a NULL DACL lets anyone do anything), or its entries do not fit.
bool ReadFolderFingerprint(const uint8_t* descriptor, size_t bytes, FolderFingerprint* fingerprint);

// Whether a folder found at the install path is the recorded one.
enum FolderMatch {
    FolderMatchSame,       // its ID, owner, protection and entries are as recorded
    FolderMatchUpgrade,    // recorded in the older form (ID only); owned by Administrators with a protected DACL
    FolderMatchOlderForm,  // recorded in the older form, but not so owned and protected
    FolderMatchChanged,    // the recorded ID, but its owner, protection or entries changed
    FolderMatchOther,      // another folder, or none recorded
};

// Judges a folder whose ID is the recorded one (sameId) and whose descriptor
// reads back as now, against the recorded fingerprint (null: a record of the
// older form, which has none).
FolderMatch MatchFolder(bool sameId, const FolderFingerprint* recorded, const FolderFingerprint& now);
