#include "kvx/platform/atomic_file.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>

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

namespace {

using kvx::platform::FileWriteFailure;
using kvx::testing::TempDir;
namespace fs = std::filesystem;

void setPermissions(const fs::path& p, int mode) {
    fs::permissions(p, static_cast<fs::perms>(mode), fs::perm_options::replace);
}

int permissionsOf(const fs::path& p) {
    return static_cast<int>(fs::status(p).permissions() & fs::perms::all);
}

// A file marked write-protected (no write permission bit) is never replaced, also for a user
// whom the system would let write it; the failure names the file and counts as "not opened".
TEST(AtomicFile, WriteProtectedFileIsNeverReplaced) {
    TempDir dir;
    const auto file = dir.write("fenlodrv.ini", "old");
    setPermissions(file, 0444);
    std::string error;
    FileWriteFailure failure = FileWriteFailure::None;
    EXPECT_FALSE(WriteFileAtomically(file, "new", &error, &failure));
    EXPECT_EQ(failure, FileWriteFailure::Open);
    EXPECT_NE(error.find("fenlodrv.ini"), std::string::npos) << error;
    EXPECT_EQ(TempDir::read(file), "old");
    EXPECT_EQ(permissionsOf(file), 0444);
    EXPECT_EQ(entryCount(dir.path()), 1u);
}

// Temporaries that killed writes of the same file left behind go at the next write; other
// names, and temporaries young enough to belong to a writer just starting, stay.
TEST(AtomicFile, StaleTemporariesOfTheSameFileAreRemoved) {
    TempDir dir;
    const auto old = fs::file_time_type::clock::now() - std::chrono::hours(1);
    const char* stale[] = {".FreeScale.dat.AbC123", ".FreeScale.dat.zz9ZZ0"};
    const char* kept[] = {".FreeScale.dat.toolong", ".FreeScale.dat.ab-123", ".Other.dat.AbC123",
                          "FreeScale.dat.AbC123"};
    for (const char* name : stale) fs::last_write_time(dir.write(name, "left"), old);
    for (const char* name : kept) fs::last_write_time(dir.write(name, "mine"), old);
    dir.write(".FreeScale.dat.New123", "young");
    ASSERT_TRUE(WriteFileAtomically(dir / "FreeScale.dat", "table"));
    for (const char* name : stale) EXPECT_FALSE(fs::exists(dir / name)) << name;
    for (const char* name : kept) EXPECT_TRUE(fs::exists(dir / name)) << name;
    EXPECT_TRUE(fs::exists(dir / ".FreeScale.dat.New123"));
    EXPECT_EQ(TempDir::read(dir / "FreeScale.dat"), "table");
}

// The same rules for a user without privileges, run as one: when the tests run as root the
// probe drops to the user "nobody", otherwise it runs as the user itself.
class UnprivilegedWrite : public ::testing::Test {
  protected:
    void SetUp() override {
        // Only a privileged user can read a file without read permission.
        const auto probe = dir_.write("probe", "x");
        setPermissions(probe, 0);
        const bool root = std::ifstream(probe).is_open();
        fs::remove(probe);
        if (root) {
            prefix_ = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
            if (std::system((prefix_ + "true >/dev/null 2>&1").c_str()) != 0) {
                GTEST_SKIP() << "running as root and cannot drop to the user nobody here";
            }
        }
        setPermissions(dir_.path(), 0777);
        fs::create_directory(dir_ / "open");
        fs::create_directory(dir_ / "closed");
        setPermissions(dir_ / "open", 0777);
    }
    void TearDown() override {
        std::error_code ec;
        fs::permissions(dir_ / "closed", fs::perms::owner_all, fs::perm_options::add, ec);
    }

    // Writes `text` to `file` as the unprivileged user with the given umask; the probe's
    // answer ("ok" or "failed STEP: TEXT").
    std::string Write(const fs::path& file, const std::string& text, const char* umask = "022") {
        const auto out = dir_.path().parent_path() / (dir_.path().filename().string() + ".out");
        const std::string command = prefix_ + "sh -c 'umask " + umask +
                                    " && exec \"$0\" \"$@\"' '" + ATOMIC_FILE_PROBE + "' '" +
                                    file.string() + "' '" + text + "' >'" + out.string() + "' 2>&1";
        std::system(command.c_str());
        std::string answer = TempDir::read(out);
        fs::remove(out);
        if (!answer.empty() && answer.back() == '\n') answer.pop_back();
        return answer;
    }

    TempDir dir_;
    std::string prefix_;
};

TEST_F(UnprivilegedWrite, ProtectionFolderRightsAndModes) {
    const auto protectedFile = dir_.write("open/fenlodrv.ini", "old");
    setPermissions(protectedFile, 0444);
    const auto keep = dir_.write("open/keep.ini", "old");
    setPermissions(keep, 0606);
    const auto inPlace = dir_.write("closed/fenlodrv.ini", "old contents, longer than new");
    setPermissions(inPlace, 0666);
    fs::create_hard_link(inPlace, dir_ / "closed" / "same.ini");
    const auto closedProtected = dir_.write("closed/FreeScale.dat", "old");
    setPermissions(closedProtected, 0444);
    setPermissions(dir_ / "closed", 0555);

    // A write-protected target in a folder the user may write is not replaced.
    EXPECT_EQ(Write(protectedFile, "new").rfind("failed 1: ", 0), 0u);
    EXPECT_EQ(TempDir::read(protectedFile), "old");
    EXPECT_EQ(permissionsOf(protectedFile), 0444);
    // A writable target in a folder the user may not write is written in place: the other
    // name of the same file sees the new contents.
    EXPECT_EQ(Write(inPlace, "new"), "ok");
    EXPECT_EQ(TempDir::read(inPlace), "new");
    EXPECT_EQ(TempDir::read(dir_ / "closed" / "same.ini"), "new");
    EXPECT_EQ(permissionsOf(inPlace), 0666);
    // Neither file nor folder writable, or no file to write in such a folder: nothing done.
    EXPECT_EQ(Write(closedProtected, "new").rfind("failed 1: ", 0), 0u);
    EXPECT_EQ(TempDir::read(closedProtected), "old");
    EXPECT_EQ(Write(dir_ / "closed" / "new.ini", "new").rfind("failed 1: ", 0), 0u);
    EXPECT_FALSE(fs::exists(dir_ / "closed" / "new.ini"));
    // The replaced file keeps its mode; a new one takes the umask's.
    EXPECT_EQ(Write(keep, "new"), "ok");
    EXPECT_EQ(TempDir::read(keep), "new");
    EXPECT_EQ(permissionsOf(keep), 0606);
    EXPECT_EQ(Write(dir_ / "open" / "new.ini", "new", "027"), "ok");
    EXPECT_EQ(permissionsOf(dir_ / "open" / "new.ini"), 0640);
    EXPECT_EQ(entryCount(dir_ / "open"), 3u);  // no temporary left behind
}

}  // namespace
