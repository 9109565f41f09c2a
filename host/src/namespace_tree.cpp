#include "namespace_tree.h"

#include <fmt/format.h>

#include "kvx/platform/codepage.h"

namespace kvx::host {
namespace {

// The callbacks carry no context: the tree being built is the one running build().
NamespaceTree* buildingTree = nullptr;

std::int32_t SOXPS_CALL onAddNode(std::uint32_t parent, const char* name,
                                  std::uint32_t* newHandle) {
    if (buildingTree != nullptr) buildingTree->addNode(parent, name, newHandle);
    return 0;
}

std::int32_t SOXPS_CALL onAddTag(std::uint32_t parent, const char* name, std::uint32_t valueType,
                                 std::uint32_t access, std::uint32_t userData,
                                 std::uint32_t reserved) {
    if (buildingTree != nullptr) {
        buildingTree->addTag(parent, name, valueType, access, userData, reserved);
    }
    return 0;
}

}  // namespace

std::int32_t NamespaceTree::build(SOXpSBuildDANameSpaceFn buildNamespace) {
    NamespaceTree* previous = buildingTree;
    buildingTree = this;
    const std::int32_t result = buildNamespace(&onAddNode, &onAddTag, 0);
    buildingTree = previous;
    return result;
}

std::string NamespaceTree::pathOf(std::uint32_t parent, const char* name) const {
    // Names come from the plug-in in the ANSI code page.
    const std::string own = platform::AnsiToUtf8(name != nullptr ? name : "");
    if (parent == 0 || parent > branchPaths_.size()) return own;
    return branchPaths_[parent - 1] + "." + own;
}

void NamespaceTree::addNode(std::uint32_t parent, const char* name, std::uint32_t* newHandle) {
    NamespaceEvent event;
    event.path = pathOf(parent, name);
    event.parent = parent;
    branchPaths_.push_back(event.path);
    if (newHandle != nullptr) *newHandle = static_cast<std::uint32_t>(branchPaths_.size());
    events_.push_back(std::move(event));
}

void NamespaceTree::addTag(std::uint32_t parent, const char* name, std::uint32_t valueType,
                           std::uint32_t access, std::uint32_t userData, std::uint32_t reserved) {
    NamespaceEvent event;
    event.isTag = true;
    event.path = pathOf(parent, name);
    event.valueType = valueType;
    event.access = access;
    event.userData = userData;
    event.parent = parent;
    event.reserved = reserved;
    items_.try_emplace(
        event.path, Item{event.path, static_cast<VARTYPE>(valueType & 0xFFFFu), access, userData});
    events_.push_back(std::move(event));
}

std::optional<Item> NamespaceTree::find(const std::string& path) const {
    const auto it = items_.find(path);
    if (it == items_.end()) return std::nullopt;
    return it->second;
}

std::string NamespaceTree::listing() const {
    std::string out;
    for (const NamespaceEvent& event : events_) {
        if (event.isTag) {
            out += fmt::format("tag\t{}\t{}\t{}\n", event.path, event.valueType & 0xFFFFu,
                               event.access);
        } else {
            out += fmt::format("node\t{}\n", event.path);
        }
    }
    return out;
}

}  // namespace kvx::host
