#pragma once
// File names without regard to letter case: INI and .cfg files are named by users and tools
// that do not care about case ("FENLODRV.INI" must find fenlodrv.ini, "TypeA.CFG" typea.cfg).
// Paths are resolved against the directory given; the process's current directory is never
// changed, so lookups are safe while other threads run.

#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

namespace kvx::platform {

// True when both names are equal, ASCII letters compared without regard to case.
bool EqualsNoCase(std::string_view a, std::string_view b);

// The file `name` in `dir`: the exact name when it exists, else the first directory entry (in
// name order) whose name equals `name` without regard to case. nullopt when neither exists or
// the directory cannot be read. `name` may not contain a directory part.
std::optional<std::filesystem::path> FindFileNoCase(const std::filesystem::path& dir,
                                                    std::string_view name);

// The same for an entry of any kind (a directory, a FIFO, a symbolic link that leads
// nowhere), for a search whose first hit counts even when it cannot be read.
std::optional<std::filesystem::path> FindEntryNoCase(const std::filesystem::path& dir,
                                                     std::string_view name);

// FindFileNoCase for a full path: the last component is looked up without regard to case in its
// parent directory (the current directory for a bare name).
std::optional<std::filesystem::path> ResolveNoCase(const std::filesystem::path& file);

// Regular files in `dir` whose names end in `extension` (e.g. ".cfg") without regard to case,
// sorted by name so that listings are reproducible. Empty when the directory cannot be read.
std::vector<std::filesystem::path> ListFilesWithExtension(const std::filesystem::path& dir,
                                                          std::string_view extension);

}  // namespace kvx::platform
