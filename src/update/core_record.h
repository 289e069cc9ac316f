// What a run checked of the installed core, kept beside the folder's record
// where only elevated code can write: a later run that finds the very same file
// unchanged takes its digest and signer from there instead of reading the
// whole core again.
#pragma once

#include <windows.h>

#include <cstdint>

#include "transfer/digest_text.h"
#include "update/folder_record.h"

// One state of one file: its identity on its volume, its size and the time
// of its last write. Its change time is no part of it: every run sets the
// core's descriptor again, which moves that time. What keeps the bytes as they
// were checked is the folder's descriptor, which lets only elevated code write.
struct FileStamp {
    FileId id;
    uint64_t size;
    int64_t lastWrite;
};

struct CoreRecord {
    FileStamp stamp;
    uint64_t checkedAt;  // system time of the check, in 100 ns units
    char digest[kSha256HexBytes];
    uint8_t signer[kSha256Bytes];  // the key whose signature passed; all zero without a signature check
};

// How long a check holds for an unchanged file: a certificate distrusted or
// expired meanwhile is noticed within this.
constexpr uint64_t kCoreRecordLifetime = 7ULL * 24 * 3600 * 10000000;

// Whether record, made at its checkedAt, still speaks for the file now stamped
// actual at the system time now: the same file, unchanged, checked less than
// kCoreRecordLifetime ago (and not in the future).
bool CoreRecordHolds(const CoreRecord& record, const FileStamp& actual, uint64_t now);

// The record of the file open as core when it still holds for that file.
bool RecordedCheckHolds(HANDLE core, CoreRecord* record);

// Records that the file open as core, which must have been held without write
// sharing since its checks, has the SHA-256 digest and passed the signature of
// signer (kSha256Bytes; all zero when no signature was checked).
bool RecordCore(HANDLE core, const char* digest, const uint8_t* signer);
