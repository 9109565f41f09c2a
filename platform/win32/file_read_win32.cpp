#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>

#include "kvx/platform/file_read.h"

namespace kvx::platform {

namespace {
FileReadResult failed(FileReadFailure failure, std::string reason) {
    FileReadResult result;
    result.failure = failure;
    result.reason = std::move(reason);
    return result;
}

std::string systemError(const char* step) {
    return std::string(step) + " (system error " + std::to_string(::GetLastError()) + ")";
}
}  // namespace

FileReadResult ReadRegularFile(const std::filesystem::path& file, std::uint64_t maxBytes) {
    const DWORD attributes = ::GetFileAttributesW(file.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD err = ::GetLastError();
        if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) {
            return failed(FileReadFailure::Missing, "does not exist");
        }
        return failed(FileReadFailure::NotReadable, systemError("cannot be opened"));
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return failed(FileReadFailure::NotRegular, "is a directory");
    }
    HANDLE h = ::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return failed(FileReadFailure::NotReadable, systemError("cannot be opened"));
    }
    FileReadResult result;
    LARGE_INTEGER size{};
    if (::GetFileType(h) != FILE_TYPE_DISK) {
        result = failed(FileReadFailure::NotRegular, "is no regular file");
    } else if (!::GetFileSizeEx(h, &size)) {
        result = failed(FileReadFailure::Read, systemError("cannot be read"));
    } else if (static_cast<std::uint64_t>(size.QuadPart) > maxBytes) {
        result = failed(FileReadFailure::TooLarge,
                        "is larger than " + std::to_string(maxBytes) + " bytes");
    } else {
        char block[65536];
        for (;;) {
            DWORD n = 0;
            if (!::ReadFile(h, block, sizeof block, &n, nullptr)) {
                result = failed(FileReadFailure::Read, systemError("cannot be read"));
                break;
            }
            if (n == 0) break;
            if (result.contents.size() + n > maxBytes) {
                result = failed(FileReadFailure::TooLarge,
                                "is larger than " + std::to_string(maxBytes) + " bytes");
                break;
            }
            result.contents.append(block, n);
        }
    }
    if (!::CloseHandle(h) && result.ok()) {
        result.failure = FileReadFailure::Close;
        result.reason = systemError("cannot be closed");
    }
    return result;
}

}  // namespace kvx::platform
