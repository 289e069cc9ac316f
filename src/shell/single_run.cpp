// The user's run lock. Unelevated programs of the same user share the session's
// object names and may create Global\ mutexes too, so the lock lives in a
// private namespace that only a token with Administrators enabled, at High
// integrity, can create; where the system has none, under a Global\ name that
// holds the user's SID. Either way the mutex grants access to SYSTEM and
// Administrators only, so no unelevated program can open and hold it, and an
// object of that name that no administrator made is never taken for the lock.
#include "shell/single_run.h"

#include <aclapi.h>
#include <sddl.h>

#include <cwchar>

#include "shell/launcher_window.h"

namespace {

constexpr wchar_t kBoundaryName[] = L"TovrinToolsLauncherBoundary";
constexpr wchar_t kNamespaceAlias[] = L"TovrinToolsLauncher";
constexpr wchar_t kNamespacedLockPrefix[] = L"TovrinToolsLauncher\\Run-";
constexpr wchar_t kGlobalLockPrefix[] = L"Global\\TovrinToolsLauncherRun-";
// Owner Administrators; a protected DACL giving SYSTEM and Administrators full access and nobody else any.
constexpr wchar_t kLockSecurity[] = L"O:BAD:P(A;;GA;;;SY)(A;;GA;;;BA)";
constexpr int kLockNameUnits = 256;

using CreateBoundaryDescriptorFn = HANDLE(WINAPI*)(LPCWSTR, ULONG);
using AddToBoundaryDescriptorFn = BOOL(WINAPI*)(HANDLE*, PSID);
using DeleteBoundaryDescriptorFn = VOID(WINAPI*)(HANDLE);
using CreatePrivateNamespaceFn = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, LPVOID, LPCWSTR);
using OpenPrivateNamespaceFn = HANDLE(WINAPI*)(LPVOID, LPCWSTR);
using ClosePrivateNamespaceFn = BOOLEAN(WINAPI*)(HANDLE, ULONG);

// Looked up when used, never bound at load time: Wine exports
// OpenPrivateNamespaceW as a stub that ends the process when called.
template <typename Function>
Function KernelFunction(const char* name)
{
    const FARPROC found = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name);
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
}

// Opens, creating it when missing, the launchers' private namespace. Null
// where the system has no private namespaces (Wine has no boundary descriptors).
HANDLE OpenLauncherNamespace(SECURITY_ATTRIBUTES* security)
{
    const auto createBoundary = KernelFunction<CreateBoundaryDescriptorFn>("CreateBoundaryDescriptorW");
    const auto addSid = KernelFunction<AddToBoundaryDescriptorFn>("AddSIDToBoundaryDescriptor");
    const auto addLabel = KernelFunction<AddToBoundaryDescriptorFn>("AddIntegrityLabelToBoundaryDescriptor");
    const auto deleteBoundary = KernelFunction<DeleteBoundaryDescriptorFn>("DeleteBoundaryDescriptor");
    const auto createNamespace = KernelFunction<CreatePrivateNamespaceFn>("CreatePrivateNamespaceW");
    const auto openNamespace = KernelFunction<OpenPrivateNamespaceFn>("OpenPrivateNamespaceW");
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD administratorsSize = sizeof(administrators);
    BYTE highLabel[SECURITY_MAX_SID_SIZE];
    DWORD highLabelSize = sizeof(highLabel);
    HANDLE boundary = nullptr;
    HANDLE space = nullptr;

    if (createBoundary == nullptr || addSid == nullptr || addLabel == nullptr || deleteBoundary == nullptr ||
        createNamespace == nullptr || openNamespace == nullptr) {
        return nullptr;
    }
    boundary = createBoundary(kBoundaryName, 0);
    if (boundary == nullptr) {
        return nullptr;
    }
    // A namespace of this name and boundary can only be created by a caller
    // within it: Administrators enabled in its token, integrity High or above.
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &administratorsSize) ||
        !addSid(&boundary, administrators) ||
        !CreateWellKnownSid(WinHighLabelSid, nullptr, highLabel, &highLabelSize) || !addLabel(&boundary, highLabel)) {
        goto cleanup;
    }
    space = createNamespace(security, boundary, kNamespaceAlias);
    if (space == nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
        space = openNamespace(boundary, kNamespaceAlias);
    }

cleanup:
    deleteBoundary(boundary);
    return space;
}

// prefix + the user's SID as text, so that launchers of other users never wait for each other.
bool FormatRunLockName(const wchar_t* prefix, wchar_t* name, int units)
{
    HANDLE token = nullptr;
    BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD userSize = 0;
    wchar_t* sidText = nullptr;
    bool ok = false;

    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) ||
        !GetTokenInformation(token, TokenUser, user, sizeof(user), &userSize) ||
        !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &sidText)) {
        goto cleanup;
    }
    ok = swprintf(name, units, L"%ls%ls", prefix, sidText) > 0;

cleanup:
    if (sidText != nullptr) {
        LocalFree(sidText);
    }
    if (token != nullptr) {
        CloseHandle(token);
    }
    return ok;
}

// True when the object's owner is Administrators or SYSTEM, which no token
// without Administrators enabled (or SYSTEM itself) can set.
bool MadeByAdministrators(HANDLE object)
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    const bool made = owner != nullptr && (IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
                                           IsWellKnownSid(owner, WinLocalSystemSid));
    LocalFree(descriptor);
    return made;
}

}  // namespace

bool TakeRunLock(RunLock* lock)
{
    wchar_t name[kLockNameUnits];
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    SECURITY_ATTRIBUTES security = {sizeof(security), nullptr, FALSE};
    bool held = false;   // the lock is ours
    bool alone = true;   // no other launcher holds it
    *lock = {nullptr, nullptr};

    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kLockSecurity, SDDL_REVISION_1, &descriptor, nullptr)) {
        return true;
    }
    security.lpSecurityDescriptor = descriptor;
    lock->space = OpenLauncherNamespace(&security);
    if (!FormatRunLockName(lock->space != nullptr ? kNamespacedLockPrefix : kGlobalLockPrefix, name,
                           kLockNameUnits)) {
        goto cleanup;
    }
    // Null (access denied, or another kind of object) means the name belongs to no launcher.
    lock->mutex = CreateMutexW(&security, FALSE, name);
    if (lock->mutex == nullptr) {
        goto cleanup;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS && !MadeByAdministrators(lock->mutex)) {
        goto cleanup;
    }
    {
        // Abandoned: the launcher that held it ended without letting go, so the run is ours.
        const DWORD taken = WaitForSingleObject(lock->mutex, 0);
        held = taken == WAIT_OBJECT_0 || taken == WAIT_ABANDONED;
        alone = held;
    }

cleanup:
    if (!held) {
        if (lock->mutex != nullptr) {
            CloseHandle(lock->mutex);
        }
        if (lock->space != nullptr) {
            KernelFunction<ClosePrivateNamespaceFn>("ClosePrivateNamespace")(lock->space, 0);
        }
        *lock = {nullptr, nullptr};
    }
    LocalFree(descriptor);
    return alone;
}

void ReleaseRunLock(const RunLock& lock)
{
    if (lock.mutex != nullptr) {
        ReleaseMutex(lock.mutex);
        CloseHandle(lock.mutex);
    }
    // Only ever set where the namespace functions were found.
    if (lock.space != nullptr) {
        KernelFunction<ClosePrivateNamespaceFn>("ClosePrivateNamespace")(lock.space, 0);
    }
}

bool BringRunningLauncherToFront(DWORD waitMs)
{
    const DWORD start = GetTickCount();
    for (;;) {
        HWND window = FindWindowW(kLauncherClassName, nullptr);
        if (window != nullptr) {
            SetForegroundWindow(window);
            return true;
        }
        if (GetTickCount() - start >= waitMs) {
            return false;
        }
        Sleep(100);
    }
}
