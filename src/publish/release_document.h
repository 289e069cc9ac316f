// A release as the update host publishes it: the facts of a core executable,
// the metadata document that describes it, and every way the two can disagree
// when the document is read with the launcher's own scanner.
#pragma once

#include <cstddef>
#include <cstdint>

#include "publish/sha256_hex.h"
#include "transfer/update_contract.h"
#include "update/pe_version.h"

// The launcher reads at most this many bytes of the document.
constexpr size_t kDocumentLimit = kMetaCapacity - 1;
// Room for a generated document; far below kDocumentLimit.
constexpr size_t kDocumentBytes = 512;
// Room for the list of disagreements between a document and a core.
constexpr size_t kReportBytes = 2048;

// What a core executable says about itself.
struct CoreFacts {
    bool hasVersion;
    FileVersionQuad version;
    const char* versionProblem;  // why hasVersion is false
    char sha256[kSha256HexBytes];  // empty when it could not be computed
    uint64_t size;
};

void ExamineCore(const unsigned char* bytes, size_t size, CoreFacts* facts);
// The same with the digest already computed (64 lowercase digits, or empty).
void ExamineCoreWithDigest(const unsigned char* bytes, size_t size, const char* sha256, CoreFacts* facts);

// {"version": "a.b.c.d", "sha256": "<64 lowercase digits>", "size": n} and a
// line feed. False when facts lack a version or digest, or it does not fit.
bool FormatReleaseDocument(const CoreFacts& facts, char* document, size_t capacity);

// Puts the launcher's three members ("launcher_version", "launcher_sha256",
// "launcher_size") at the start of document, one made by FormatReleaseDocument,
// so that one document names both. False when launcher lacks a version or
// digest, or the whole does not fit.
bool AddLauncherMembers(const CoreFacts& launcher, char* document, size_t capacity);

// As ListDisagreements, for the launcher's members and the launcher they name.
int ListLauncherDisagreements(const char* document, const CoreFacts& launcher, char* report, size_t capacity);

// Reads document (NUL-terminated, at most kDocumentLimit bytes, as the launcher
// holds it) the way the launcher does and appends one line per disagreement
// with the core to report, naming the member and both values; also a core the
// launcher would refuse. Returns the number of disagreements.
int ListDisagreements(const char* document, const CoreFacts& core, char* report, size_t capacity);
