// Staging a release: the core executable and its metadata document written
// into a web root, checked first so that an inconsistent release is refused.
#pragma once

#include <cstddef>

// Request paths of the two files, relative to the web root.
constexpr char kReleaseFolder[] = "tovrin-tools-api/v1";
constexpr char kDocumentName[] = "bootstrap_meta";
constexpr char kExecutableName[] = "bootstrap_exe";

// Room for StageRelease's message.
constexpr size_t kStageMessageBytes = 1024;

// Reads the core at corePath, refuses it when it is no PE executable, has no
// version resource or is 1,000,000 bytes or smaller, and publishes it under
// root (which must be a folder): the executable first, the document last, each
// written under a temporary name and renamed into place. message says what was
// published, or why nothing was.
bool StageRelease(const char* corePath, const char* root, char* message, size_t capacity);
