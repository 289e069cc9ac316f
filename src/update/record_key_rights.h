// Whether a registry key's security descriptor leaves writing to the machine's
// administrators: the records kept under it are trusted only then.
#pragma once

#include <cstddef>
#include <cstdint>

// descriptor is a self-relative security descriptor of bytes bytes (owner and
// DACL). True only when its owner is SYSTEM or Administrators (an owner may
// always rewrite the DACL) and its DACL is present and grants no right that
// changes the key (setting values, making subkeys or links, deleting, changing
// its rights or owner) to anyone else. Entries that only pass down to subkeys
// do not count; an entry whose trustee cannot be read counts against it.
bool OnlyAdministratorsMayWrite(const uint8_t* descriptor, size_t bytes);
