// Installed file version from a read-only view of the held file: only its
// headers and resource section are touched, however large the file.
#include "update/installed_version.h"

#include "update/file_view.h"
#include "update/pe_version.h"

bool ReadInstalledVersion(HANDLE file, FileVersionQuad* version)
{
    FileView view;
    const char* problem = nullptr;
    *version = FileVersionQuad{};
    if (!MapFileView(file, &view)) {
        return false;
    }
    const bool ok = ReadPeFileVersion(view.bytes, view.size, version, nullptr, &problem);
    UnmapFileView(&view);
    return ok;
}
