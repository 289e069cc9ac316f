// What a download still needs and whether a cut one goes on where it stopped.
#include "transfer/download_resume.h"

uint64_t MissingRoom(uint64_t freeBytes, uint64_t size, uint64_t have)
{
    const uint64_t toCome = size > have ? size - have : 0;
    return toCome > freeBytes ? toCome - freeBytes : 0;
}
