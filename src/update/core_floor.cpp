// The recorded floors of the core's and the launcher's versions: four numbers
// in one binary value of the user's each, which only ever rise.
#include "update/core_floor.h"

#include "core_floor_setting.h"
#include "update/folder_record.h"

namespace {

constexpr wchar_t kFloorSuffix[] = L".floor";
constexpr wchar_t kLauncherFloorSuffix[] = L".launcher";

FileVersionQuad RecordedFloor(const wchar_t* suffix)
{
    FileVersionQuad floor = {};
    floor.present = ReadUserRecord(suffix, floor.parts, sizeof(floor.parts));
    return floor;
}

bool RaiseRecordedFloor(const wchar_t* suffix, const FileVersionQuad& version)
{
    return VersionAbove(version, RecordedFloor(suffix)) &&
           WriteUserRecord(suffix, version.parts, sizeof(version.parts));
}

}  // namespace

FileVersionQuad CoreFloor()
{
    return HigherVersion(kBuiltCoreFloor, RecordedFloor(kFloorSuffix));
}

bool RaiseCoreFloor(const FileVersionQuad& version)
{
    return RaiseRecordedFloor(kFloorSuffix, version);
}

FileVersionQuad LauncherFloor()
{
    return RecordedFloor(kLauncherFloorSuffix);
}

bool RaiseLauncherFloor(const FileVersionQuad& version)
{
    return RaiseRecordedFloor(kLauncherFloorSuffix, version);
}
