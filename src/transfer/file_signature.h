// Authenticode signatures of executables, held to a list of signer pins.
#pragma once

#include <windows.h>

#include <cstddef>

// Whether the file open as file (named path) has a signature that WinVerifyTrust
// accepts, without UI and without network, and whose primary signer's leaf
// certificate has one of the count pins. WinVerifyTrust reads the bytes through
// file, so the answer is about the file behind that handle.
bool FileSignedByPinnedKey(HANDLE file, const wchar_t* path, const char* const* pins, size_t count);

// Opens path for reading with read sharing only, so that while the handle is
// open nobody can write, replace, rename or delete the file, and checks it with
// FileSignedByPinnedKey. On success *held receives the open handle, which the
// caller closes; on failure nothing stays open and *held is not written.
bool HoldSignedFile(const wchar_t* path, const char* const* pins, size_t count, HANDLE* held);
