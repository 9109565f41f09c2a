#pragma once
// A host session with the plug-in: initialise, build, start, then serve read, write and wait
// commands, answering each with JSON lines.

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "fenlodrv/plugin_abi.h"
#include "namespace_tree.h"
#include "plugin_loader.h"

namespace kvx::host {

// Splits a command line at blanks; double quotes group (a backslash escapes the next
// character inside quotes). False with a message for an unterminated quote.
bool SplitCommandLine(const std::string& line, std::vector<std::string>& words, std::string& error);

struct ReadResult {
    std::string item;
    VARTYPE vt = VT_EMPTY;
    nlohmann::json value;
    std::uint16_t quality = 0;
    std::string time;
    nlohmann::json toJson() const;
};

class Session {
  public:
    Session(const PluginEntryPoints& plugin, std::ostream& out, std::ostream& err);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // SOXpSInitialize and SOXpSBuildDANameSpace; with `start` also SOXpSStart.
    void open(bool start);
    // SOXpSStop (once; also done by the destructor).
    void close();

    const NamespaceTree& tree() const { return tree_; }

    // One batch of reads. False (message on the error stream) when an item is unknown.
    bool read(const std::vector<std::string>& items, std::vector<ReadResult>& results);
    // One batch of writes of "ITEM=VALUE" assignments. False (message, nothing written) for an
    // unknown or read-only item or a value that does not convert.
    // One write batch. `result` gets {"written":[items the members acknowledged]} and, when
    // some did not reach their member, "refused":[{"item","outcome"}]. False when the batch
    // could not be formed (nothing was sent); `complete` tells whether every value arrived.
    bool write(const std::vector<std::string>& assignments, nlohmann::json& result, bool& complete);
    // Reads `item` until its quality is `good` (192) or bad (0), at most `timeout`. The
    // result object holds either "quality" and "waited_ms" or "timeout": true.
    bool wait(const std::string& item, bool good, std::chrono::milliseconds timeout,
              nlohmann::json& result);

    // Serves one line of the session protocol. Returns false for "quit".
    bool command(const std::string& line);
    // Reads commands until the end of `in` or "quit".
    void run(std::istream& in);
    // True when any command failed.
    bool failed() const { return failed_; }

  private:
    bool resolve(const std::string& path, Item& item);
    void fail(const std::string& message);

    PluginEntryPoints plugin_;
    std::ostream& out_;
    std::ostream& err_;
    NamespaceTree tree_;
    bool opened_ = false;
    bool failed_ = false;
};

}  // namespace kvx::host
