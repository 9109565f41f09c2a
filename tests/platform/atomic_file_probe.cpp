// Writes one file the way the products do, so that tests can run the write as another user:
// atomic_file_probe FILE TEXT. Prints "ok", or the failure step and text; exit status 0 or 1.

#include <cstdio>

#include "kvx/platform/atomic_file.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: atomic_file_probe FILE TEXT\n");
        return 2;
    }
    std::string error;
    kvx::platform::FileWriteFailure failure = kvx::platform::FileWriteFailure::None;
    if (kvx::platform::WriteFileAtomically(argv[1], argv[2], &error, &failure)) {
        std::printf("ok\n");
        return 0;
    }
    std::printf("failed %d: %s\n", static_cast<int>(failure), error.c_str());
    return 1;
}
