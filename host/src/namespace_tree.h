#pragma once
// What a host learns from the plug-in's namespace callbacks: every branch and leaf in call
// order, with full paths ("ADR03", "ADR03.Analog", "ADR03.Analog.Temp_start").

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "fenlodrv/plugin_abi.h"

namespace kvx::host {

struct NamespaceEvent {
    bool isTag = false;
    std::string path;  // UTF-8
    std::uint32_t valueType = 0;
    std::uint32_t access = 0;
    std::uint32_t userData = 0;
    std::uint32_t parent = 0;
    std::uint32_t reserved = 0;  // the sixth AddTag argument
};

struct Item {
    std::string path;
    VARTYPE vt = VT_EMPTY;
    std::uint32_t access = 0;
    std::uint32_t handle = 0;
};

class NamespaceTree {
  public:
    // Runs the plug-in's build with this tree's callbacks. Returns the build's result.
    std::int32_t build(SOXpSBuildDANameSpaceFn buildNamespace);

    const std::vector<NamespaceEvent>& events() const { return events_; }
    // The leaf with this path; the first one when a path was registered twice.
    std::optional<Item> find(const std::string& path) const;
    // One line per callback: "node<TAB>PATH" or "tag<TAB>PATH<TAB>VT<TAB>ACCESS".
    std::string listing() const;

    // The callbacks' work, public for the C trampolines.
    void addNode(std::uint32_t parent, const char* name, std::uint32_t* newHandle);
    void addTag(std::uint32_t parent, const char* name, std::uint32_t valueType,
                std::uint32_t access, std::uint32_t userData, std::uint32_t reserved);

  private:
    std::string pathOf(std::uint32_t parent, const char* name) const;

    std::vector<NamespaceEvent> events_;
    std::vector<std::string> branchPaths_;  // branch handle h -> branchPaths_[h - 1]
    std::map<std::string, Item> items_;
};

}  // namespace kvx::host
