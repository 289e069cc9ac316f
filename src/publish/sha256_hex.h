// SHA-256 of a byte buffer as 64 lowercase hexadecimal digits, by OpenSSL's libcrypto.
#pragma once

#include <cstddef>

#include "transfer/digest_text.h"

// False only when libcrypto fails; hex is then left empty.
bool Sha256Hex(const unsigned char* data, size_t size, char hex[kSha256HexBytes]);
