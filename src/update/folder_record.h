// What identifies the install folder a launcher made, kept where only elevated
// code can write it, so that a folder swapped in while no launcher ran is told
// from the launcher's own: its ID, and its owner and DACL as the launcher left them.
#pragma once

#include <windows.h>

#include <cstdint>

#include "update/folder_fingerprint.h"

// A file's or folder's identity on its volume: it survives renames and moves,
// and no program chooses it.
struct FileId {
    uint64_t volume;
    uint8_t file[16];
};

// The identity of the folder or file open as handle.
bool ReadFileId(HANDLE handle, FileId* id);

// Whether the folder open as handle (with READ_CONTROL) is the folder recorded
// for the current user, still owned and protected as the record says.
FolderMatch MatchRecordedFolder(HANDLE handle);

// Records the folder open as handle (with READ_CONTROL) as the current user's
// install folder, its ID and the fingerprint of its owner and DACL as it reads
// back now, replacing any earlier record.
bool RecordFolder(HANDLE handle);

// Reads exactly bytes of the current user's record named by suffix (empty: the
// folder's own) into data; never from a key that others than administrators
// may write.
bool ReadUserRecord(const wchar_t* suffix, void* data, DWORD bytes);

// Writes bytes of data as the current user's record named by suffix, in a key
// that only administrators may write (made anew when others could).
bool WriteUserRecord(const wchar_t* suffix, const void* data, DWORD bytes);

// Whether a record was refused this run because its key let others write.
bool RecordKeyDistrusted();
