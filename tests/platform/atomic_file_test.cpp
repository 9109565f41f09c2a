#include "kvx/platform/atomic_file.h"

#include <gtest/gtest.h>

#include "kvx/platform/file_size_limit.h"
#include "temp_dir.h"

namespace {

using kvx::platform::ScopedFileSizeLimit;
using kvx::platform::WriteFileAtomically;
using kvx::testing::TempDir;

std::size_t entryCount(const std::filesystem::path& dir) {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir)) ++n;
    return n;
}

TEST(AtomicFile, CreatesAndReplacesWithoutLeftovers) {
    TempDir dir;
    const auto file = dir / "FreeScale.dat";
    ASSERT_TRUE(WriteFileAtomically(file, "first"));
    EXPECT_EQ(TempDir::read(file), "first");
    ASSERT_TRUE(WriteFileAtomically(file, "second, longer"));
    EXPECT_EQ(TempDir::read(file), "second, longer");
    ASSERT_TRUE(WriteFileAtomically(file, ""));
    EXPECT_EQ(TempDir::read(file), "");
    EXPECT_EQ(entryCount(dir.path()), 1u);
}

TEST(AtomicFile, KeepsPermissionBits) {
    TempDir dir;
    const auto file = dir.write("fenlodrv.ini", "old");
    std::filesystem::permissions(file, std::filesystem::perms::owner_read |
                                           std::filesystem::perms::owner_write |
                                           std::filesystem::perms::group_read);
    ASSERT_TRUE(WriteFileAtomically(file, "new"));
    const auto perms = std::filesystem::status(file).permissions();
    EXPECT_EQ(perms & std::filesystem::perms::all, std::filesystem::perms::owner_read |
                                                       std::filesystem::perms::owner_write |
                                                       std::filesystem::perms::group_read);
}

TEST(AtomicFile, FailedWriteKeepsOldFile) {
    TempDir dir;
    const auto file = dir.write("FreeScale.dat", "old contents");
    std::string error;
    {
        ScopedFileSizeLimit limit(4);  // the new contents cannot be written in full
        ASSERT_TRUE(limit.active());
        EXPECT_FALSE(WriteFileAtomically(file, std::string(1000, 'x'), &error));
    }
    EXPECT_EQ(TempDir::read(file), "old contents");
    EXPECT_NE(error.find("FreeScale.dat"), std::string::npos) << error;
    EXPECT_EQ(entryCount(dir.path()), 1u);  // no temporary file left behind
}

TEST(AtomicFile, FailsWhereNoFileCanBe) {
    TempDir dir;
    std::string error;
    EXPECT_FALSE(WriteFileAtomically(dir / "no-such-dir" / "x.ini", "x", &error));
    EXPECT_FALSE(error.empty());
    // A directory in the way is not replaced.
    std::filesystem::create_directory(dir / "busy");
    dir.write("busy/keep", "k");
    EXPECT_FALSE(WriteFileAtomically(dir / "busy", "x"));
    EXPECT_EQ(TempDir::read(dir / "busy" / "keep"), "k");
    EXPECT_EQ(entryCount(dir.path()), 1u);
}

}  // namespace

namespace {

TEST(AtomicFile, SymbolicLinkStaysALink) {
    kvx::testing::TempDir dir;
    const auto real = dir.write("real/fenlodrv.ini", "old");
    const auto link = dir / "fenlodrv.ini";
    std::filesystem::create_symlink(real, link);
    ASSERT_TRUE(kvx::platform::WriteFileAtomically(link, "new"));
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(kvx::testing::TempDir::read(real), "new");
}

}  // namespace
