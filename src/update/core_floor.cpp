// The recorded floor of the core's version: four numbers in one binary value
// of the user's, which only ever rises.
#include "update/core_floor.h"

#include "core_floor_setting.h"
#include "update/folder_record.h"

namespace {

constexpr wchar_t kFloorSuffix[] = L".floor";

FileVersionQuad RecordedFloor()
{
    FileVersionQuad floor = {};
    floor.present = ReadUserRecord(kFloorSuffix, floor.parts, sizeof(floor.parts));
    return floor;
}

}  // namespace

FileVersionQuad CoreFloor()
{
    return HigherVersion(kBuiltCoreFloor, RecordedFloor());
}

bool RaiseCoreFloor(const FileVersionQuad& version)
{
    return VersionAbove(version, RecordedFloor()) && WriteUserRecord(kFloorSuffix, version.parts, sizeof(version.parts));
}
