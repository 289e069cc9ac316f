// The update host a launcher image names, read as tovrin-publish reads it.
#include "update/launcher_image.h"

#include <cstring>

#include "update/pe_version.h"

namespace {

constexpr uint32_t kRcDataType = 10;  // RT_RCDATA
constexpr uint32_t kEndpointId = 1;

}  // namespace

bool ImageNamesEndpoint(const unsigned char* image, size_t size, const char* endpoint)
{
    const unsigned char* data = nullptr;
    size_t length = 0;
    const char* problem = nullptr;
    return ReadPeResource(image, size, kRcDataType, kEndpointId, &data, &length, &problem) &&
           length == strlen(endpoint) && memcmp(data, endpoint, length) == 0;
}
