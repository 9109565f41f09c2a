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

bool fail(std::string* error, FileWriteFailure* failure, const std::filesystem::path& file,
          const char* step, FileWriteFailure kind) {
    setError(error, file, step);
    if (failure) *failure = kind;
    return false;
}
}  // namespace

bool WriteFileAtomically(const std::filesystem::path& file, std::string_view contents,
                         std::string* error, FileWriteFailure* failure) {
    if (failure) *failure = FileWriteFailure::None;
    const std::filesystem::path dir =
        file.parent_path().empty() ? std::filesystem::path(".") : file.parent_path();
    // A read-only file is never replaced.
    const DWORD attributes = ::GetFileAttributesA(file.string().c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        return fail(error, failure, file, "the file may not be written", FileWriteFailure::Open);
    }
    char temp[MAX_PATH];
    if (::GetTempFileNameA(dir.string().c_str(), "kvx", 0, temp) == 0) {
        return fail(error, failure, file, "cannot create a temporary file", FileWriteFailure::Open);
    }
    HANDLE h = ::CreateFileA(temp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                             nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        fail(error, failure, file, "cannot open the temporary file", FileWriteFailure::Open);
        ::DeleteFileA(temp);
        return false;
    }
    DWORD written = 0;
    const BOOL ok =
        ::WriteFile(h, contents.data(), static_cast<DWORD>(contents.size()), &written, nullptr) &&
        written == contents.size() && ::FlushFileBuffers(h);
    if (!ok) {
        fail(error, failure, file, "write failed", FileWriteFailure::Write);
        ::CloseHandle(h);
        ::DeleteFileA(temp);
        return false;
    }
    ::CloseHandle(h);
    if (!::MoveFileExA(temp, file.string().c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        fail(error, failure, file, "cannot replace the file", FileWriteFailure::Write);
        ::DeleteFileA(temp);
        return false;
    }
    return true;
}

}  // namespace kvx::platform
