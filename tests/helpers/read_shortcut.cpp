// Test helper: reads a shell link back through IShellLinkW and prints its
// target, working directory, description, icon location and arguments as
// UTF-8 lines "key=value".
// Usage: read_shortcut <path.lnk>
#include <windows.h>

#include <objbase.h>
#include <shlobj.h>

#include <cstdio>

namespace {

void PrintField(const char* key, const wchar_t* value)
{
    char utf8[MAX_PATH * 4];
    WideCharToMultiByte(CP_UTF8, 0, value, -1, utf8, sizeof(utf8), nullptr, nullptr);
    printf("%s=%s\n", key, utf8);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2) {
        fwprintf(stderr, L"usage: read_shortcut <path.lnk>\n");
        return 2;
    }
    bool ok = false;
    bool comReady = false;
    IShellLinkW* link = nullptr;
    IPersistFile* file = nullptr;
    wchar_t text[MAX_PATH];
    int iconIndex = 0;

    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
        goto cleanup;
    }
    comReady = true;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&link))) ||
        FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) ||
        FAILED(file->Load(argv[1], STGM_READ))) {
        goto cleanup;
    }
    // Raw path: the stored target, not one resolved against the current system.
    link->GetPath(text, MAX_PATH, nullptr, SLGP_RAWPATH);
    PrintField("target", text);
    link->GetWorkingDirectory(text, MAX_PATH);
    PrintField("workdir", text);
    link->GetDescription(text, MAX_PATH);
    PrintField("description", text);
    link->GetIconLocation(text, MAX_PATH, &iconIndex);
    PrintField("icon", text);
    printf("iconindex=%d\n", iconIndex);
    link->GetArguments(text, MAX_PATH);
    PrintField("arguments", text);
    ok = true;

cleanup:
    if (file != nullptr) {
        file->Release();
    }
    if (link != nullptr) {
        link->Release();
    }
    if (comReady) {
        CoUninitialize();
    }
    if (!ok) {
        fwprintf(stderr, L"read_shortcut: cannot read %ls\n", argv[1]);
    }
    return ok ? 0 : 1;
}
