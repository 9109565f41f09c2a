#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>

#include "kvx/platform/atomic_file.h"

namespace kvx::platform {

namespace {
void setError(std::string* error, const std::filesystem::path& file, const char* step) {
    if (error)
        *error = file.string() + ": " + step + " (system error " +
                 std::to_string(::GetLastError()) + ")";
}
}  // namespace

bool WriteFileAtomically(const std::filesystem::path& file, std::string_view contents,
                         std::string* error) {
    const std::filesystem::path dir =
        file.parent_path().empty() ? std::filesystem::path(".") : file.parent_path();
    char temp[MAX_PATH];
    if (::GetTempFileNameA(dir.string().c_str(), "kvx", 0, temp) == 0) {
        setError(error, file, "cannot create a temporary file");
        return false;
    }
    HANDLE h = ::CreateFileA(temp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                             nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        setError(error, file, "cannot open the temporary file");
        ::DeleteFileA(temp);
        return false;
    }
    DWORD written = 0;
    const BOOL ok =
        ::WriteFile(h, contents.data(), static_cast<DWORD>(contents.size()), &written, nullptr) &&
        written == contents.size() && ::FlushFileBuffers(h);
    if (!ok) {
        setError(error, file, "write failed");
        ::CloseHandle(h);
        ::DeleteFileA(temp);
        return false;
    }
    ::CloseHandle(h);
    if (!::MoveFileExA(temp, file.string().c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        setError(error, file, "cannot replace the file");
        ::DeleteFileA(temp);
        return false;
    }
    return true;
}

}  // namespace kvx::platform
