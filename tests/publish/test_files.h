// Files the release tool tests work on: the fake cores, the 32-bit core, and
// throw-away folders.
#pragma once

#include <string>
#include <vector>

// Path of a fake core built by the windows preset, such as "fake_core_1_6_5_0".
std::string FakeCorePath(const char* name);

// Path of the minimal 32-bit executable (version 3.2.1.0).
std::string CoreX86Path();
// The same executable with its version laid out otherwise: "languages_agree",
// "languages_differ" or "other_id" (see core_x86.rc).
std::string CoreX86VariantPath(const char* variant);

std::vector<unsigned char> ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::vector<unsigned char>& bytes);

// A new empty folder under the temporary folder; removed by RemoveTree.
std::string MakeTempFolder();
void RemoveTree(const std::string& path);
