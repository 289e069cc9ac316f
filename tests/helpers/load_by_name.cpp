// Test helper: loads each DLL named on the command line by its bare name, with
// the ordinary search order (the program's own folder first), and prints
// "<name> loaded" or "<name> failed <error>" for each. Run from a folder with
// planted DLLs, it shows that a program which does not restrict its DLL search
// picks them up.
// Usage: load_by_name <dll>...
#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv)
{
    int failures = 0;
    for (int i = 1; i < argc; ++i) {
        if (LoadLibraryW(argv[i]) != nullptr) {
            printf("%ls loaded\n", argv[i]);
        } else {
            printf("%ls failed %lu\n", argv[i], GetLastError());
            ++failures;
        }
    }
    return failures == 0 ? 0 : 1;
}
