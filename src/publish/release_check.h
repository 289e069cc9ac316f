// Checking a served release: both files fetched from the update host and
// compared the way the launcher would use them.
#pragma once

#include <cstdio>

// Fetches <baseUrl>/tovrin-tools-api/v1/bootstrap_meta and .../bootstrap_exe
// (trusting caFile's certificates when given), and compares version, digest
// and size. Prints what it found to out, and each problem on its own line to
// err. True only when the release is consistent.
bool CheckRelease(const char* baseUrl, const char* caFile, FILE* out, FILE* err);
