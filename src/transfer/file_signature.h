// Authenticode signatures of executables, held to a list of signer pins.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

// Whether the file open as file (named path) has a signature that WinVerifyTrust
// accepts, without UI and without network, and whose primary signer's leaf
// certificate has one of the count pins. WinVerifyTrust reads the bytes through
// file, so the answer is about the file behind that handle. When it passes and
// signer is not null, signer receives that pin's key digest (kSha256Bytes).
bool FileSignedByPinnedKey(HANDLE file, const wchar_t* path, const char* const* pins, size_t count,
                           uint8_t* signer = nullptr);
