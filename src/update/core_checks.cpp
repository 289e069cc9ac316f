// The core's digest and signature, checked beside the metadata request: the
// start then costs its slowest step, not the sum of its steps.
#include "update/core_checks.h"

#include <cstring>

#include "transfer/file_digest.h"
#include "transfer/file_signature.h"
#include "transfer/pin_list.h"
#include "update/core_record.h"
#include "update/core_signers.h"

namespace {

DWORD WINAPI DigestThread(LPVOID parameter)
{
    CoreChecks* checks = static_cast<CoreChecks*>(parameter);
    checks->digest.passed = ComputeHandleSha256Hex(checks->digest.file, checks->digestText, &checks->stop);
    return 0;
}

DWORD WINAPI SignatureThread(LPVOID parameter)
{
    CoreChecks* checks = static_cast<CoreChecks*>(parameter);
    checks->signature.passed =
        FileSignedByPinnedKey(checks->signature.file, checks->path, kCoreSignerPins, kCoreSignerPinCount, checks->signer);
    return 0;
}

void Start(HANDLE core, CoreCheck* check, LPTHREAD_START_ROUTINE work, CoreChecks* checks)
{
    check->file = ReOpenFile(core, GENERIC_READ, FILE_SHARE_READ, 0);
    if (check->file == INVALID_HANDLE_VALUE) {
        return;
    }
    check->thread = CreateThread(nullptr, 0, work, checks, 0, nullptr);
    if (check->thread == nullptr) {
        work(checks);
    }
}

void Wait(CoreCheck* check)
{
    if (check->thread != nullptr) {
        WaitForSingleObject(check->thread, INFINITE);
        CloseHandle(check->thread);
        check->thread = nullptr;
    }
    if (check->file != INVALID_HANDLE_VALUE) {
        CloseHandle(check->file);
        check->file = INVALID_HANDLE_VALUE;
    }
}

}  // namespace

void StartCoreChecks(HANDLE core, const wchar_t* path, bool checkSignature, CoreChecks* checks)
{
    checks->path = path;
    checks->stop.store(0);
    checks->digestText[0] = '\0';
    memset(checks->signer, 0, sizeof(checks->signer));
    checks->digest = CoreCheck{};
    checks->signature = CoreCheck{};
    CoreRecord record;
    checks->fromRecord = core != INVALID_HANDLE_VALUE && RecordedCheckHolds(core, &record);
    checks->signerFromRecord =
        checks->fromRecord && checkSignature && SignerPinListed(record.signer, kCoreSignerPins, kCoreSignerPinCount);
    if (checks->fromRecord) {
        memcpy(checks->digestText, record.digest, kSha256HexBytes);
        checks->digest.passed = true;
    }
    if (checks->signerFromRecord) {
        memcpy(checks->signer, record.signer, kSha256Bytes);
        checks->signature.passed = true;
    }
    // The signature first: it is the slower, with its libraries to load.
    if (checkSignature && !checks->signerFromRecord) {
        Start(core, &checks->signature, SignatureThread, checks);
    }
    if (!checks->fromRecord) {
        Start(core, &checks->digest, DigestThread, checks);
    }
}

bool CoreDigest(CoreChecks* checks, char* digest)
{
    Wait(&checks->digest);
    if (checks->digest.passed) {
        memcpy(digest, checks->digestText, kSha256HexBytes);
    }
    return checks->digest.passed;
}

bool CoreSigned(CoreChecks* checks)
{
    Wait(&checks->signature);
    return checks->signature.passed;
}

bool RecordCoreChecks(HANDLE core, CoreChecks* checks)
{
    const bool checkSignature = kCoreSignerPinCount > 0;
    if (checks->fromRecord && (checks->signerFromRecord || !checkSignature)) {
        return false;
    }
    char digest[kSha256HexBytes];
    if (!CoreDigest(checks, digest) || (checkSignature && !CoreSigned(checks))) {
        return false;
    }
    return RecordCore(core, digest, checks->signer);
}

bool RecordedSignerPinned(HANDLE core)
{
    CoreRecord record;
    return RecordedCheckHolds(core, &record) && SignerPinListed(record.signer, kCoreSignerPins, kCoreSignerPinCount);
}

void EndCoreChecks(CoreChecks* checks)
{
    checks->stop.store(1);
    Wait(&checks->digest);
    Wait(&checks->signature);
}
