// Test files prepared outside Wine: folders named by environment variables as
// Linux paths, reached through Wine's Z: drive, and sha256sum's digest lists.
#pragma once

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

// "Z:\<path>" for the Linux folder in the environment variable, or "" when unset.
inline std::wstring HostFolder(const char* variable)
{
    const char* value = getenv(variable);
    if (value == nullptr || value[0] != '/') {
        return L"";
    }
    std::wstring folder = L"Z:";
    for (const char* c = value; *c != '\0'; ++c) {
        folder += (*c == '/') ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(*c));
    }
    return folder;
}

// File name to digest, read from a list written by sha256sum ("<hex>  <name>").
inline std::map<std::string, std::string> ReadDigestList(const std::wstring& path)
{
    std::map<std::string, std::string> digests;
    std::ifstream list(std::string(path.begin(), path.end()));
    std::string line;
    while (std::getline(list, line)) {
        std::istringstream fields(line);
        std::string digest;
        std::string name;
        if (fields >> digest >> name) {
            digests[name] = digest;
        }
    }
    return digests;
}
