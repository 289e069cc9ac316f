// SHA-256 of a byte buffer as lowercase hexadecimal text.
#include "publish/sha256_hex.h"

#include <openssl/evp.h>


bool Sha256Hex(const unsigned char* data, size_t size, char hex[kSha256HexBytes])
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestSize = 0;
    hex[0] = '\0';
    if (EVP_Digest(data, size, digest, &digestSize, EVP_sha256(), nullptr) != 1 || digestSize != 32) {
        return false;
    }
    FormatSha256Hex(digest, hex);
    return true;
}
