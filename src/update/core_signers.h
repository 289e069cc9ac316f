// The pins of the publisher's code-signing keys that this build holds the core
// to (the build setting TOVRIN_CORE_SIGNERS). No pins: no signature is checked.
#pragma once

#include <cstddef>

extern const char* const kCoreSignerPins[];
extern const size_t kCoreSignerPinCount;
