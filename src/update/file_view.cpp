// Read-only views of whole files.
#include "update/file_view.h"

bool MapFileView(HANDLE file, FileView* view)
{
    LARGE_INTEGER size = {};
    *view = FileView{nullptr, nullptr, 0};
    if (file == INVALID_HANDLE_VALUE || !GetFileSizeEx(file, &size) || size.QuadPart <= 0) {
        return false;
    }
    view->mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (view->mapping == nullptr) {
        return false;
    }
    view->bytes = static_cast<const uint8_t*>(MapViewOfFile(view->mapping, FILE_MAP_READ, 0, 0, 0));
    if (view->bytes == nullptr) {
        CloseHandle(view->mapping);
        view->mapping = nullptr;
        return false;
    }
    view->size = static_cast<size_t>(size.QuadPart);
    return true;
}

void UnmapFileView(FileView* view)
{
    if (view->bytes != nullptr) {
        UnmapViewOfFile(view->bytes);
    }
    if (view->mapping != nullptr) {
        CloseHandle(view->mapping);
    }
    *view = FileView{nullptr, nullptr, 0};
}
