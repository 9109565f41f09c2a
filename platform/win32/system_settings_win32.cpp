// Registry, Windows directory and the system's profile reader.

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>
#include <vector>

#include "kvx/platform/system_settings.h"

namespace kvx::platform {

bool HasMachineRegistry() {
    return true;
}

std::optional<std::string> ReadMachineRegistryText(std::string_view key, std::string_view name) {
    HKEY handle = nullptr;
    const std::string keyName(key);
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyName.c_str(), 0, KEY_READ, &handle) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    const std::string valueName(name);
    std::optional<std::string> result;
    // The size first, then the value; a value that grows in between is asked for again.
    for (int attempt = 0; attempt < 3 && !result; ++attempt) {
        DWORD type = 0;
        DWORD size = 0;
        if (::RegQueryValueExA(handle, valueName.c_str(), nullptr, &type, nullptr, &size) !=
                ERROR_SUCCESS ||
            type != REG_SZ) {
            break;
        }
        std::vector<char> buffer(size + 1, '\0');
        DWORD got = size;
        const LONG status = ::RegQueryValueExA(handle, valueName.c_str(), nullptr, &type,
                                               reinterpret_cast<BYTE*>(buffer.data()), &got);
        if (status == ERROR_MORE_DATA) continue;
        if (status != ERROR_SUCCESS || type != REG_SZ) break;
        // A stored text may or may not carry its terminator.
        std::string text(buffer.data(), got);
        while (!text.empty() && text.back() == '\0') text.pop_back();
        result = std::move(text);
    }
    ::RegCloseKey(handle);
    return result;
}

std::filesystem::path SystemDirectory() {
    char buffer[MAX_PATH + 1];
    const UINT n = ::GetWindowsDirectoryA(buffer, sizeof buffer);
    if (n == 0 || n > MAX_PATH) return "C:\\Windows";
    return std::filesystem::path(std::string(buffer, n));
}

char SearchPathSeparator() {
    return ';';
}

std::optional<std::string> SystemProfileString(const std::filesystem::path& file,
                                               std::string_view section, std::string_view key,
                                               std::string_view fallback, std::size_t capacity) {
    if (capacity == 0) return std::nullopt;
    std::vector<char> buffer(capacity, '\0');
    const std::string s(section), k(key), f(fallback), path = file.string();
    const DWORD n = ::GetPrivateProfileStringA(s.c_str(), k.c_str(), f.c_str(), buffer.data(),
                                               static_cast<DWORD>(capacity), path.c_str());
    return std::string(buffer.data(), n);
}

}  // namespace kvx::platform
