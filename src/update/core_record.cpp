// The record of the installed core's checks: the file's stamp, when it was
// checked, its digest and its signer, as one binary value of the user's.
#include "update/core_record.h"

#include <cstring>

namespace {

constexpr wchar_t kCoreSuffix[] = L".core";

uint64_t SystemTimeNow()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

bool ReadFileStamp(HANDLE file, FileStamp* stamp)
{
    FILE_BASIC_INFO basic = {};
    FILE_STANDARD_INFO standard = {};
    memset(stamp, 0, sizeof(*stamp));
    if (!ReadFileId(file, &stamp->id) ||
        !GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof(basic)) ||
        !GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof(standard))) {
        return false;
    }
    stamp->size = static_cast<uint64_t>(standard.EndOfFile.QuadPart);
    stamp->lastWrite = basic.LastWriteTime.QuadPart;
    return true;
}

}  // namespace

bool CoreRecordHolds(const CoreRecord& record, const FileStamp& actual, uint64_t now)
{
    const FileStamp& kept = record.stamp;
    return kept.id.volume == actual.id.volume && memcmp(kept.id.file, actual.id.file, sizeof(kept.id.file)) == 0 &&
           kept.size == actual.size && kept.lastWrite == actual.lastWrite &&
           now >= record.checkedAt && now - record.checkedAt < kCoreRecordLifetime &&
           memchr(record.digest, '\0', sizeof(record.digest)) != nullptr;
}

bool RecordedCheckHolds(HANDLE core, CoreRecord* record)
{
    FileStamp actual;
    return ReadFileStamp(core, &actual) && ReadUserRecord(kCoreSuffix, record, sizeof(*record)) &&
           CoreRecordHolds(*record, actual, SystemTimeNow());
}

bool RecordCore(HANDLE core, const char* digest, const uint8_t* signer)
{
    CoreRecord record;
    memset(&record, 0, sizeof(record));
    if (!ReadFileStamp(core, &record.stamp) || strlen(digest) >= sizeof(record.digest)) {
        return false;
    }
    record.checkedAt = SystemTimeNow();
    strcpy(record.digest, digest);
    memcpy(record.signer, signer, sizeof(record.signer));
    return WriteUserRecord(kCoreSuffix, &record, sizeof(record));
}
