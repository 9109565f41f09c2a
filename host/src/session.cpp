#include "session.h"

#include <charconv>
#include <cstring>
#include <istream>
#include <thread>

#include "fenlodrv/oleauto.h"
#include "values.h"

namespace kvx::host {

bool SplitCommandLine(const std::string& line, std::vector<std::string>& words,
                      std::string& error) {
    words.clear();
    std::string word;
    bool inWord = false;
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '\\' && i + 1 < line.size()) {
                word.push_back(line[++i]);
            } else if (c == '"') {
                quoted = false;
            } else {
                word.push_back(c);
            }
        } else if (c == '"') {
            quoted = true;
            inWord = true;
        } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (inWord) words.push_back(std::move(word));
            word.clear();
            inWord = false;
        } else {
            word.push_back(c);
            inWord = true;
        }
    }
    if (quoted) {
        error = "unterminated quote";
        return false;
    }
    if (inWord) words.push_back(std::move(word));
    return true;
}

nlohmann::json ReadResult::toJson() const {
    nlohmann::json j;
    j["item"] = item;
    j["vt"] = vt;
    j["value"] = value;
    j["quality"] = quality;
    j["time"] = time;
    return j;
}

Session::Session(const PluginEntryPoints& plugin, std::ostream& out, std::ostream& err)
    : plugin_(plugin), out_(out), err_(err) {}

Session::~Session() {
    close();
}

void Session::open(bool start) {
    plugin_.initialize(0, 0, 0);
    tree_.build(plugin_.buildNamespace);
    opened_ = true;
    if (start) plugin_.start();
}

void Session::close() {
    if (!opened_) return;
    plugin_.stop();
    opened_ = false;
}

void Session::fail(const std::string& message) {
    err_ << "fenlo-host: " << message << std::endl;
    failed_ = true;
}

bool Session::resolve(const std::string& path, Item& item) {
    const auto found = tree_.find(path);
    if (!found) {
        fail("unknown item " + path);
        return false;
    }
    item = *found;
    return true;
}

bool Session::read(const std::vector<std::string>& items, std::vector<ReadResult>& results) {
    results.clear();
    std::vector<Item> resolved(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (!resolve(items[i], resolved[i])) return false;
    }
    std::vector<SOXpSRequest> batch(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        std::memset(static_cast<void*>(&batch[i]), 0, sizeof(SOXpSRequest));
        batch[i].value = ZeroVariant(resolved[i].vt);
        batch[i].userData = resolved[i].handle;
    }
    plugin_.handleRequests(SOXPS_READ, static_cast<std::uint32_t>(batch.size()), batch.data());
    for (std::size_t i = 0; i < items.size(); ++i) {
        ReadResult result;
        result.item = items[i];
        result.vt = batch[i].value.vt;
        result.value = VariantToJson(batch[i].value);
        result.quality = batch[i].quality;
        FILETIME stamp{};
        std::memcpy(
            &stamp,
            reinterpret_cast<const unsigned char*>(&batch[i]) + offsetof(SOXpSRequest, timestamp),
            sizeof(stamp));
        result.time = FileTimeToText(stamp);
        VariantClear(&batch[i].value);
        results.push_back(std::move(result));
    }
    return true;
}

namespace {

// What the plug-in made of a write record, as the host tells it.
const char* WriteOutcomeText(std::uint16_t outcome) {
    switch (outcome) {
        case SOXPS_WRITE_ACKNOWLEDGED:
            return "acknowledged";
        case SOXPS_WRITE_NOT_WRITABLE:
            return "not writable";
        case SOXPS_WRITE_NOT_STORED:
            return "not stored";
        case SOXPS_WRITE_OUT_OF_RANGE:
            return "out of range";
        case SOXPS_WRITE_TYPE_MISMATCH:
            return "type mismatch";
        case SOXPS_WRITE_NO_COMMUNICATION:
            return "no communication";
        default:
            return "unknown";
    }
}

}  // namespace

bool Session::write(const std::vector<std::string>& assignments, nlohmann::json& result,
                    bool& complete) {
    result = nlohmann::json::object();
    complete = false;
    std::vector<SOXpSRequest> batch;
    std::vector<std::string> names;
    auto release = [&batch] {
        for (SOXpSRequest& record : batch) VariantClear(&record.value);
    };
    for (const std::string& assignment : assignments) {
        const auto eq = assignment.find('=');
        if (eq == std::string::npos || eq == 0) {
            fail("\"" + assignment + "\" is not of the form ITEM=VALUE");
            release();
            return false;
        }
        const std::string path = assignment.substr(0, eq);
        Item item;
        if (!resolve(path, item)) {
            release();
            return false;
        }
        if ((item.access & SOXPS_ACCESS_WRITE) == 0) {
            fail("item " + path + " is read-only");
            release();
            return false;
        }
        std::string error;
        auto value = ParseValue(item.vt, std::string_view(assignment).substr(eq + 1), error);
        if (!value) {
            fail("item " + path + ": " + error);
            release();
            return false;
        }
        SOXpSRequest record;
        std::memset(static_cast<void*>(&record), 0, sizeof(record));
        record.value = *value;
        record.userData = item.handle;
        record.quality = SOXPS_WRITE_PENDING;
        batch.push_back(record);
        names.push_back(path);
    }
    if (!batch.empty()) {
        plugin_.handleRequests(SOXPS_WRITE, static_cast<std::uint32_t>(batch.size()), batch.data());
    }
    release();
    // A plug-in that tells no outcome leaves the record as it was: such writes count as sent.
    std::vector<std::string> written;
    nlohmann::json refused = nlohmann::json::array();
    for (std::size_t i = 0; i < batch.size(); ++i) {
        const std::uint16_t outcome = batch[i].quality;
        if (outcome == SOXPS_WRITE_ACKNOWLEDGED || outcome == SOXPS_WRITE_PENDING) {
            written.push_back(names[i]);
        } else {
            refused.push_back({{"item", names[i]}, {"outcome", WriteOutcomeText(outcome)}});
        }
    }
    result["written"] = written;
    complete = refused.empty();
    if (!complete) result["refused"] = std::move(refused);
    return true;
}

bool Session::wait(const std::string& item, bool good, std::chrono::milliseconds timeout,
                   nlohmann::json& result) {
    const auto begin = std::chrono::steady_clock::now();
    const std::uint16_t wanted = good ? SOXPS_QUALITY_GOOD : SOXPS_QUALITY_BAD;
    std::vector<ReadResult> results;
    for (;;) {
        if (!read({item}, results)) return false;
        const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - begin);
        if (results.front().quality == wanted) {
            result = {{"item", item}, {"quality", wanted}, {"waited_ms", waited.count()}};
            return true;
        }
        if (waited >= timeout) {
            result = {{"item", item}, {"timeout", true}};
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

namespace {

bool parseMillis(const std::string& text, std::chrono::milliseconds& out) {
    long long value = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || ptr != text.data() + text.size() || value < 0) return false;
    out = std::chrono::milliseconds(value);
    return true;
}

}  // namespace

bool Session::command(const std::string& line) {
    std::vector<std::string> words;
    std::string error;
    if (!SplitCommandLine(line, words, error)) {
        fail(error + " in: " + line);
        return true;
    }
    if (words.empty()) return true;
    const std::string verb = words.front();
    const std::vector<std::string> args(words.begin() + 1, words.end());

    if (verb == "quit") return false;
    if (verb == "read") {
        if (args.empty()) {
            fail("read needs at least one item");
            return true;
        }
        std::vector<ReadResult> results;
        if (read(args, results)) {
            for (const ReadResult& result : results) out_ << result.toJson().dump() << '\n';
            out_.flush();
        }
    } else if (verb == "write") {
        if (args.empty()) {
            fail("write needs at least one ITEM=VALUE");
            return true;
        }
        nlohmann::json result;
        bool complete = false;
        if (write(args, result, complete)) out_ << result.dump() << std::endl;
    } else if (verb == "wait") {
        std::chrono::milliseconds timeout{};
        if (args.size() != 3 || (args[1] != "good" && args[1] != "bad") ||
            !parseMillis(args[2], timeout)) {
            fail("usage: wait ITEM good|bad MS");
            return true;
        }
        nlohmann::json result;
        if (wait(args[0], args[1] == "good", timeout, result)) {
            out_ << result.dump() << std::endl;
        }
    } else if (verb == "sleep") {
        std::chrono::milliseconds pause{};
        if (args.size() != 1 || !parseMillis(args[0], pause)) {
            fail("usage: sleep MS");
            return true;
        }
        std::this_thread::sleep_for(pause);
    } else {
        fail("unknown command " + verb + " (read, write, wait, sleep, quit)");
    }
    return true;
}

void Session::run(std::istream& in) {
    std::string line;
    while (std::getline(in, line)) {
        if (!command(line)) break;
    }
}

}  // namespace kvx::host
