#pragma once
// A scratch file per fuzzing process, on a memory file system when there is one, so that the
// readers see the input through real file I/O without the cost of disk writes.

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace kvx::fuzzing {

inline std::filesystem::path ScratchDir() {
    // Never destroyed: the exit handler below still needs it.
    static const std::filesystem::path* dir = [] {
        std::error_code ec;
        const std::filesystem::path base = std::filesystem::is_directory("/dev/shm", ec)
                                               ? std::filesystem::path("/dev/shm")
                                               : std::filesystem::temp_directory_path();
        std::random_device rd;
        auto* d = new std::filesystem::path(base / ("kvx-fuzz-" + std::to_string(rd())));
        std::filesystem::create_directories(*d);
        std::atexit([] {
            std::error_code e;
            std::filesystem::remove_all(ScratchDir(), e);
        });
        return d;
    }();
    return *dir;
}

inline std::filesystem::path WriteScratch(const std::string& name, const std::uint8_t* data,
                                          std::size_t size) {
    const auto path = ScratchDir() / name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    return path;
}

}  // namespace kvx::fuzzing
