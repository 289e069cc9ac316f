// The user's unelevated rights, rebuilt from the process's own token. The
// linked token itself cannot be used: without SeTcbPrivilege it comes back at
// identification level, which may be asked who the user is but not impersonated
// for a file write. So the process's token is filtered as Windows filtered the
// linked one: the same groups made deny-only, all privileges but one removed,
// and the linked token's integrity level.
#include "update/unelevated_rights.h"

namespace {

// The token's information of one class in a block from the process heap, or null.
void* TokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind)
{
    DWORD size = 0;
    GetTokenInformation(token, kind, nullptr, 0, &size);
    if (size == 0) {
        return nullptr;
    }
    void* information = HeapAlloc(GetProcessHeap(), 0, size);
    if (information != nullptr && !GetTokenInformation(token, kind, information, size, &size)) {
        HeapFree(GetProcessHeap(), 0, information);
        information = nullptr;
    }
    return information;
}

void FreeBlock(void* block)
{
    if (block != nullptr) {
        HeapFree(GetProcessHeap(), 0, block);
    }
}

// The groups the linked token only denies with, Administrators always first,
// in a block from the process heap (*count of them), or null.
SID_AND_ATTRIBUTES* DenyOnlyGroups(const TOKEN_GROUPS* linkedGroups, PSID administrators, DWORD* count)
{
    SID_AND_ATTRIBUTES* denied = static_cast<SID_AND_ATTRIBUTES*>(
        HeapAlloc(GetProcessHeap(), 0, (linkedGroups->GroupCount + 1) * sizeof(SID_AND_ATTRIBUTES)));
    *count = 0;
    if (denied == nullptr) {
        return nullptr;
    }
    denied[(*count)++] = {administrators, 0};
    for (DWORD i = 0; i < linkedGroups->GroupCount; ++i) {
        if ((linkedGroups->Groups[i].Attributes & SE_GROUP_USE_FOR_DENY_ONLY) &&
            !EqualSid(linkedGroups->Groups[i].Sid, administrators)) {
            denied[(*count)++] = {linkedGroups->Groups[i].Sid, 0};
        }
    }
    return denied;
}

// Owner and default DACL only shape a new file's own permissions, as the
// user's programs would make it; where they cannot be set, what the save can
// reach is still limited by the groups and the level of token.
void ShapeNewFiles(HANDLE token, const TOKEN_USER* linkedUser, TOKEN_DEFAULT_DACL* linkedDacl)
{
    TOKEN_OWNER owner = {linkedUser->User.Sid};
    SetTokenInformation(token, TokenOwner, &owner, sizeof(owner));
    if (linkedDacl != nullptr) {
        SetTokenInformation(token, TokenDefaultDacl, linkedDacl, sizeof(TOKEN_DEFAULT_DACL));
    }
}

// *token: own (the process's token) filtered as Windows filtered linked (its
// linked token), as MakeUnelevatedToken describes; null when that fails.
bool FilterAsLinked(HANDLE own, HANDLE linked, HANDLE* token)
{
    TOKEN_GROUPS* linkedGroups = nullptr;
    TOKEN_MANDATORY_LABEL* linkedLabel = nullptr;
    TOKEN_USER* linkedUser = nullptr;
    TOKEN_DEFAULT_DACL* linkedDacl = nullptr;
    SID_AND_ATTRIBUTES* denied = nullptr;
    DWORD deniedCount = 0;
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD administratorsSize = sizeof(administrators);
    HANDLE restricted = nullptr;
    bool ok = false;

    linkedGroups = static_cast<TOKEN_GROUPS*>(TokenInformation(linked, TokenGroups));
    linkedLabel = static_cast<TOKEN_MANDATORY_LABEL*>(TokenInformation(linked, TokenIntegrityLevel));
    linkedUser = static_cast<TOKEN_USER*>(TokenInformation(linked, TokenUser));
    linkedDacl = static_cast<TOKEN_DEFAULT_DACL*>(TokenInformation(linked, TokenDefaultDacl));
    if (linkedGroups == nullptr || linkedLabel == nullptr || linkedUser == nullptr ||
        !CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &administratorsSize)) {
        goto cleanup;
    }
    denied = DenyOnlyGroups(linkedGroups, administrators, &deniedCount);
    if (denied == nullptr ||
        !CreateRestrictedToken(own, DISABLE_MAX_PRIVILEGE, deniedCount, denied, 0, nullptr, 0, nullptr,
                               &restricted) ||
        !DuplicateTokenEx(restricted, TOKEN_IMPERSONATE | TOKEN_QUERY | TOKEN_ADJUST_DEFAULT, nullptr,
                          SecurityImpersonation, TokenImpersonation, token) ||
        !SetTokenInformation(*token, TokenIntegrityLevel, linkedLabel,
                             sizeof(TOKEN_MANDATORY_LABEL) + GetLengthSid(linkedLabel->Label.Sid))) {
        goto cleanup;
    }
    ShapeNewFiles(*token, linkedUser, linkedDacl);
    ok = true;

cleanup:
    if (!ok && *token != nullptr) {
        CloseHandle(*token);
        *token = nullptr;
    }
    if (restricted != nullptr) {
        CloseHandle(restricted);
    }
    FreeBlock(denied);
    FreeBlock(linkedDacl);
    FreeBlock(linkedUser);
    FreeBlock(linkedLabel);
    FreeBlock(linkedGroups);
    return ok;
}

}  // namespace

bool MakeUnelevatedToken(HANDLE* token)
{
    HANDLE own = nullptr;
    TOKEN_LINKED_TOKEN linked = {nullptr};
    TOKEN_ELEVATION_TYPE elevation = TokenElevationTypeDefault;
    DWORD size = 0;
    bool ok = false;
    *token = nullptr;

    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &own) ||
        !GetTokenInformation(own, TokenElevationType, &elevation, sizeof(elevation), &size)) {
        goto cleanup;
    }
    // Not elevated, or elevated without a filtered twin (UAC off, the built-in
    // Administrator): the user's other programs have these rights too.
    if (elevation != TokenElevationTypeFull) {
        ok = true;
        goto cleanup;
    }
    ok = GetTokenInformation(own, TokenLinkedToken, &linked, sizeof(linked), &size) &&
         FilterAsLinked(own, linked.LinkedToken, token);

cleanup:
    if (linked.LinkedToken != nullptr) {
        CloseHandle(linked.LinkedToken);
    }
    if (own != nullptr) {
        CloseHandle(own);
    }
    return ok;
}

bool ImpersonateUnelevatedUser()
{
    HANDLE token = nullptr;
    if (!MakeUnelevatedToken(&token)) {
        return false;
    }
    if (token == nullptr) {
        return true;
    }
    const bool impersonating = SetThreadToken(nullptr, token) != FALSE;
    CloseHandle(token);
    return impersonating;
}
