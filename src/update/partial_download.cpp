// A cut download kept for a later run, always through the held folder's own
// helpers: nobody but the folder's owners can write either file.
#include "update/partial_download.h"

#include <cstdio>
#include <cstring>

#include "common/folder_files.h"
#include "common/run_log.h"
#include "transfer/download_resume.h"

namespace {

// Not "*.tmp": the removal of stale temporary files leaves them alone.
constexpr wchar_t kPartialName[] = L"TovrinTools_core.exe.partial";
constexpr wchar_t kPartialNoteName[] = L"TovrinTools_core.exe.partial.note";

// Reads the note into note; one that is not a note is removed. False when
// there is none or it is not one.
bool ReadNote(PartialNote* note)
{
    char text[kPartialNoteBytes] = {};
    DWORD read = 0;
    HANDLE file = OpenFolderFile(kPartialNoteName, GENERIC_READ | DELETE, FILE_SHARE_READ, OPEN_EXISTING);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool ok = ReadFile(file, text, kPartialNoteBytes - 1, &read, nullptr) && ParsePartialNote(text, note);
    if (!ok) {
        DeleteOpenFile(file);
    }
    CloseHandle(file);
    return ok;
}

void RemoveNote()
{
    HANDLE file = OpenFolderFile(kPartialNoteName, DELETE, FILE_SHARE_READ, OPEN_EXISTING);
    if (file != INVALID_HANDLE_VALUE) {
        DeleteOpenFile(file);
        CloseHandle(file);
    }
}

// The kept partial download, open (read, write and delete access, read
// sharing), with its note in note and its length in have, when it is part of
// release; otherwise it and its note are removed and INVALID_HANDLE_VALUE comes
// back. The note is kept with keepNote.
HANDLE OpenPartialOf(const ReleaseInfo& release, bool keepNote, PartialNote* note, uint64_t* have)
{
    LARGE_INTEGER length = {};
    const bool noted = ReadNote(note);
    HANDLE partial = OpenFolderFile(kPartialName, GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ,
                                    OPEN_EXISTING);
    if (partial != INVALID_HANDLE_VALUE && !GetFileSizeEx(partial, &length)) {
        length.QuadPart = 0;
    }
    *have = static_cast<uint64_t>(length.QuadPart);
    const bool fits = partial != INVALID_HANDLE_VALUE && noted &&
                      PartialFitsRelease(*note, *have, release.sha256, release.size);
    if (noted && (!fits || !keepNote)) {
        RemoveNote();
    }
    if (partial == INVALID_HANDLE_VALUE || fits) {
        return partial;
    }
    RunLog("partial download: %llu bytes of sha256 \"%s\", size %llu; published sha256 \"%s\", size %llu: "
           "discarded", static_cast<unsigned long long>(*have), noted ? note->sha256 : "unknown",
           static_cast<unsigned long long>(noted ? note->size : 0), release.sha256,
           static_cast<unsigned long long>(release.size));
    DeleteOpenFile(partial);
    CloseHandle(partial);
    return INVALID_HANDLE_VALUE;
}

// Writes the note of a partial download of release with validator.
HANDLE WriteNote(const ReleaseInfo& release, const char* validator)
{
    PartialNote note = {};
    char text[kPartialNoteBytes];
    DWORD written = 0;
    snprintf(note.sha256, sizeof(note.sha256), "%s", release.sha256);
    note.size = release.size;
    snprintf(note.validator, sizeof(note.validator), "%s", validator);
    if (!FormatPartialNote(note, text)) {
        return INVALID_HANDLE_VALUE;
    }
    HANDLE file = OpenFolderFile(kPartialNoteName, GENERIC_WRITE | DELETE, 0, CREATE_ALWAYS);
    if (file == INVALID_HANDLE_VALUE) {
        return INVALID_HANDLE_VALUE;
    }
    const DWORD length = static_cast<DWORD>(strlen(text));
    if (!WriteFile(file, text, length, &written, nullptr) || written != length || !FlushFileBuffers(file)) {
        DeleteOpenFile(file);
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

}  // namespace

void RemovePartialOfAnotherRelease(const ReleaseInfo& release)
{
    PartialNote note = {};
    uint64_t have = 0;
    HANDLE partial = OpenPartialOf(release, true, &note, &have);
    if (partial != INVALID_HANDLE_VALUE) {
        CloseHandle(partial);
    }
}

HANDLE TakePartialDownload(const ReleaseInfo& release, const wchar_t* downloadName, DownloadRange* range)
{
    PartialNote note = {};
    uint64_t have = 0;

    memset(range, 0, sizeof(*range));
    HANDLE partial = OpenPartialOf(release, false, &note, &have);
    if (partial == INVALID_HANDLE_VALUE) {
        return INVALID_HANDLE_VALUE;
    }
    if (!RenameOpenFile(partial, downloadName)) {
        RunLog("partial download: cannot become the download file (error %lu), discarded", GetLastError());
        DeleteOpenFile(partial);
        CloseHandle(partial);
        return INVALID_HANDLE_VALUE;
    }
    range->from = have;
    memcpy(range->validator, note.validator, sizeof(range->validator));
    return partial;
}

bool KeepPartialDownload(HANDLE download, const ReleaseInfo& release, const DownloadRange& range)
{
    PartialNote note = {};
    LARGE_INTEGER have = {};
    snprintf(note.sha256, sizeof(note.sha256), "%s", release.sha256);
    note.size = release.size;
    if (range.validator[0] == '\0' || !GetFileSizeEx(download, &have) ||
        !PartialFitsRelease(note, static_cast<uint64_t>(have.QuadPart), release.sha256, release.size)) {
        return false;
    }
    HANDLE written = WriteNote(release, range.validator);
    if (written == INVALID_HANDLE_VALUE) {
        return false;
    }
    // Bytes still in the cache at a power loss would come back as zeros: the
    // digest would catch them, but only after a whole download.
    const bool kept = FlushFileBuffers(download) && RenameOpenFile(download, kPartialName);
    if (kept) {
        RunLog("partial download: %llu of %llu bytes kept for the next run", static_cast<unsigned long long>(have.QuadPart),
               static_cast<unsigned long long>(release.size));
    } else {
        DeleteOpenFile(written);
    }
    CloseHandle(written);
    return kept;
}
