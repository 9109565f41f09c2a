#include "kvx/platform/file_lookup.h"

#include <gtest/gtest.h>

#include "kvx/platform/file_name_text.h"
#include "kvx/platform/file_read.h"
#include "temp_dir.h"

namespace {

using kvx::platform::FindFileNoCase;
using kvx::platform::ListFilesWithExtension;
using kvx::platform::ResolveNoCase;
using kvx::testing::TempDir;

TEST(FileLookup, ExactNameWinsOverOtherCase) {
    TempDir dir;
    dir.write("FENLODRV.INI", "a");
    dir.write("fenlodrv.ini", "b");
    EXPECT_EQ(FindFileNoCase(dir.path(), "fenlodrv.ini"), dir / "fenlodrv.ini");
    EXPECT_EQ(FindFileNoCase(dir.path(), "FENLODRV.INI"), dir / "FENLODRV.INI");
    // Neither spelled this way: the first match in name order.
    EXPECT_EQ(FindFileNoCase(dir.path(), "FenLoDrv.Ini"), dir / "FENLODRV.INI");
}

// An entry of any kind counts for FindEntryNoCase, only a regular file for FindFileNoCase.
TEST(FileLookup, EntriesOfAnyKindAreFoundWhenAsked) {
    TempDir dir;
    std::filesystem::create_directory(dir / "FENLODRV.INI");
    std::filesystem::create_symlink(dir / "gone", dir / "loop.ini");
    EXPECT_EQ(kvx::platform::FindEntryNoCase(dir.path(), "fenlodrv.ini"), dir / "FENLODRV.INI");
    EXPECT_EQ(FindFileNoCase(dir.path(), "fenlodrv.ini"), std::nullopt);
    EXPECT_EQ(kvx::platform::FindEntryNoCase(dir.path(), "loop.ini"), dir / "loop.ini");
    EXPECT_EQ(kvx::platform::FindEntryNoCase(dir.path(), "other.ini"), std::nullopt);
}

TEST(FileLookup, FindsOtherCaseAndRejectsNonFiles) {
    TempDir dir;
    dir.write("typea.cfg", "x");
    std::filesystem::create_directory(dir / "Sub.CFG");
    EXPECT_EQ(FindFileNoCase(dir.path(), "TypeA.CFG"), dir / "typea.cfg");
    EXPECT_EQ(FindFileNoCase(dir.path(), "typeb.cfg"), std::nullopt);
    EXPECT_EQ(FindFileNoCase(dir.path(), "sub.cfg"), std::nullopt);  // a directory
    EXPECT_EQ(FindFileNoCase(dir / "missing", "typea.cfg"), std::nullopt);
    EXPECT_EQ(FindFileNoCase(dir.path(), ""), std::nullopt);
    EXPECT_EQ(FindFileNoCase(dir.path(), "../typea.cfg"), std::nullopt);
    EXPECT_EQ(ResolveNoCase(dir / "TYPEA.cfg"), dir / "typea.cfg");
}

TEST(FileLookup, NonAsciiBytesCompareExactly) {
    TempDir dir;
    dir.write("\xe4ger.cfg", "x");  // a Latin-1 umlaut byte is not folded
    EXPECT_EQ(FindFileNoCase(dir.path(), "\xc4GER.CFG"), std::nullopt);
    EXPECT_EQ(FindFileNoCase(dir.path(), "\xe4GER.CFG"), dir / "\xe4ger.cfg");
}

TEST(FileLookup, ListingMatchesExtensionInAnyCaseSortedByName) {
    TempDir dir;
    dir.write("zeta.cfg", "");
    dir.write("Alpha.CFG", "");
    dir.write("beta.Cfg", "");
    dir.write("notes.txt", "");
    dir.write("cfg", "");
    dir.write("x.cfg.bak", "");
    std::filesystem::create_directory(dir / "dir.cfg");
    const auto files = ListFilesWithExtension(dir.path(), ".cfg");
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(files[0], dir / "Alpha.CFG");
    EXPECT_EQ(files[1], dir / "beta.Cfg");
    EXPECT_EQ(files[2], dir / "zeta.cfg");
    EXPECT_TRUE(ListFilesWithExtension(dir / "missing", ".cfg").empty());
}

}  // namespace

TEST(FileNameText, Utf8NamesAreAnsiTextAndNamesWithoutAnsiFormKeepTheirBytes) {
    using kvx::platform::FileNameFromAnsi;
    using kvx::platform::FileNameToAnsi;
    const std::filesystem::path utf8Name(
        "Pr\xC3\xBC"
        "f.cfg");
    EXPECT_EQ(FileNameToAnsi(utf8Name),
              "Pr\xFC"
              "f.cfg");
    EXPECT_EQ(FileNameFromAnsi("Pr\xFC"
                               "f.cfg"),
              utf8Name);
    EXPECT_EQ(FileNameToAnsi(std::filesystem::path("/tmp/\xC3\xA9t\xC3\xA9/a.cfg")),
              "/tmp/\xE9t\xE9/a.cfg");
    // A Latin-1 name written by an old program, and one without a Windows-1252 form.
    EXPECT_EQ(FileNameToAnsi(std::filesystem::path("Pr\xFC"
                                                   "f.cfg")),
              "Pr\xFC"
              "f.cfg");
    EXPECT_EQ(FileNameToAnsi(std::filesystem::path("\xE5\xA0\xB1.cfg")), "\xE5\xA0\xB1.cfg");
    EXPECT_EQ(FileNameToAnsi(std::filesystem::path("plain.cfg")), "plain.cfg");
}

// A whole regular file up to the bound, and for anything else a failure that says why; a
// link that leads nowhere is told apart from a missing file.
TEST(FileRead, RegularFilesUpToTheBoundAndWhyNot) {
    using kvx::platform::FileReadFailure;
    using kvx::platform::ReadRegularFile;
    kvx::testing::TempDir dir;
    const auto file = dir.write("a.ini", "[KXBUS]\nWAIT=5\n");
    auto read = ReadRegularFile(file, 15);
    ASSERT_TRUE(read.ok()) << read.reason;
    EXPECT_EQ(read.contents, "[KXBUS]\nWAIT=5\n");
    read = ReadRegularFile(file, 14);
    EXPECT_EQ(read.failure, FileReadFailure::TooLarge);
    EXPECT_EQ(read.reason, "is larger than 14 bytes");
    EXPECT_TRUE(read.contents.empty());

    EXPECT_EQ(ReadRegularFile(dir / "none.ini", 100).failure, FileReadFailure::Missing);
    std::filesystem::create_symlink(dir / "none.ini", dir / "dangling.ini");
    read = ReadRegularFile(dir / "dangling.ini", 100);
    EXPECT_EQ(read.failure, FileReadFailure::NotReadable);
    EXPECT_EQ(read.reason, "is a symbolic link to nothing");
    read = ReadRegularFile(dir.path(), 100);
    EXPECT_EQ(read.failure, FileReadFailure::NotRegular);
    EXPECT_EQ(read.reason, "is a directory");
}
