// What a download still needs and whether a cut one goes on where it stopped:
// the room it lacks, the host's validator, the verdict on a ranged answer and
// the note kept beside a partial download; free of Win32 so it is tested
// natively and under Wine alike.
#pragma once

#include <cstddef>
#include <cstdint>

// A validator's text, terminator included: an ETag or an HTTP date.
constexpr size_t kValidatorBytes = 128;
// The note kept beside a partial download, terminator included.
constexpr size_t kPartialNoteBytes = 256;
constexpr size_t kNoteDigestBytes = 80;

// Bytes the volume lacks (0 when none) for the rest of a download of size
// bytes, have of which are already on disk; an unknown size (0) lacks nothing.
uint64_t MissingRoom(uint64_t freeBytes, uint64_t size, uint64_t have);

// The validator a partial download may be resumed with (RFC 9110, 8.8): the
// answer's ETag when it is strong, else its Last-Modified when there is no ETag
// (nullptr or empty: absent). A weak ETag ("W/") allows no resume. Only
// printable ASCII is taken, since it goes back out in an If-Range header. False,
// with validator empty, when there is none.
bool TakeStrongValidator(const wchar_t* etag, const wchar_t* lastModified, char* validator);

// Parses a Content-Range value of the form "bytes first-last/complete" with a
// known complete length and first <= last < complete.
bool ParseContentRange(const wchar_t* text, uint64_t* first, uint64_t* last, uint64_t* complete);

enum RangedAnswer {
    RangedWhole,    // 200: the whole file, written from its start
    RangedAppend,   // 206 with the rest of the same file: appended at from
    RangedRefused,  // anything else: the partial is useless
};

// The verdict on the answer to "Range: bytes=from-" with "If-Range: sent": a
// 206 is the rest only when its Content-Range starts at from and ends with the
// published size, and its validator (nullptr when none) is the one sent.
RangedAnswer JudgeRangedAnswer(uint32_t status, const wchar_t* contentRange, const char* sent, const char* answered,
                               uint64_t from, uint64_t size);

// What a partial download is part of: the published digest and size and the
// host's validator for its bytes.
struct PartialNote {
    char sha256[kNoteDigestBytes];
    uint64_t size;
    char validator[kValidatorBytes];
};

// Writes note as three lines into text (kPartialNoteBytes); false when it does not fit.
bool FormatPartialNote(const PartialNote& note, char* text);

// Reads a note written by FormatPartialNote; false for anything else.
bool ParsePartialNote(const char* text, PartialNote* note);

// Whether have bytes described by note are a beginning of the release published
// with sha256 and size: the same digest and size, and fewer bytes than that.
bool PartialFitsRelease(const PartialNote& note, uint64_t have, const char* sha256, uint64_t size);
