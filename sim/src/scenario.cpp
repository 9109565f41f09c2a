#include "kvx/sim/scenario.h"

#include <bit>
#include <cmath>
#include <fstream>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "kvx/platform/codepage.h"

namespace kvx::sim {

namespace {

using nlohmann::json;

class Context {
  public:
    explicit Context(const std::filesystem::path& file) : file_(file.string()) {}
    [[noreturn]] void fail(const std::string& where, const std::string& what) const {
        throw SimError(file_ + ": " + (where.empty() ? "" : where + ": ") + what);
    }
    const std::string& file() const { return file_; }

  private:
    std::string file_;
};

void onlyKeys(const Context& ctx, const json& obj, const std::string& where,
              std::initializer_list<const char*> allowed) {
    for (const auto& [key, value] : obj.items()) {
        bool known = false;
        for (const char* a : allowed) known = known || key == a;
        if (!known) ctx.fail(where, "unknown key \"" + key + "\"");
    }
}

double number(const Context& ctx, const json& v, const std::string& where) {
    if (!v.is_number()) ctx.fail(where, "a number is expected");
    return v.get<double>();
}

double rate(const Context& ctx, const json& v, const std::string& where) {
    const double r = number(ctx, v, where);
    if (!(r >= 0.0 && r <= 1.0)) ctx.fail(where, "a rate from 0 to 1 is expected");
    return r;
}

int byteAmount(const Context& ctx, const json& v, const std::string& where) {
    const double b = number(ctx, v, where);
    if (!(b >= 0 && b <= 255) || b != std::floor(b)) {
        ctx.fail(where, "a whole number of bytes from 0 to 255 is expected");
    }
    return static_cast<int>(b);
}

// A fault with a size: {"rate": r, "bytes": n}, or just the rate.
FaultRate sizedFault(const Context& ctx, const json& v, const std::string& where) {
    FaultRate f;
    if (v.is_number()) {
        f.rate = rate(ctx, v, where);
        return f;
    }
    if (!v.is_object()) ctx.fail(where, "a rate or {\"rate\", \"bytes\"} is expected");
    onlyKeys(ctx, v, where, {"rate", "bytes"});
    if (v.contains("rate")) f.rate = rate(ctx, v["rate"], where + ".rate");
    if (v.contains("bytes")) f.bytes = byteAmount(ctx, v["bytes"], where + ".bytes");
    return f;
}

Faults parseFaults(const Context& ctx, const json& v, const std::string& where) {
    if (!v.is_object()) ctx.fail(where, "an object is expected");
    onlyKeys(ctx, v, where,
             {"silence", "short", "long", "twoPreamble", "wrongEnd", "garbled", "wrongIdentity",
              "delay"});
    Faults f;
    if (v.contains("silence")) f.silence = rate(ctx, v["silence"], where + ".silence");
    if (v.contains("short")) f.shortAnswer = sizedFault(ctx, v["short"], where + ".short");
    if (v.contains("long")) f.longAnswer = sizedFault(ctx, v["long"], where + ".long");
    if (v.contains("twoPreamble")) {
        f.twoPreamble = rate(ctx, v["twoPreamble"], where + ".twoPreamble");
    }
    if (v.contains("wrongEnd")) f.wrongEnd = rate(ctx, v["wrongEnd"], where + ".wrongEnd");
    if (v.contains("garbled")) f.garbled = sizedFault(ctx, v["garbled"], where + ".garbled");
    if (v.contains("wrongIdentity")) {
        f.wrongIdentity = rate(ctx, v["wrongIdentity"], where + ".wrongIdentity");
    }
    if (v.contains("delay")) {
        const json& d = v["delay"];
        const std::string w = where + ".delay";
        if (!d.is_object()) ctx.fail(w, "{\"rate\", \"ms\"} is expected");
        onlyKeys(ctx, d, w, {"rate", "ms"});
        if (d.contains("rate")) f.delayRate = rate(ctx, d["rate"], w + ".rate");
        if (d.contains("ms")) {
            const double ms = number(ctx, d["ms"], w + ".ms");
            if (!(ms >= 0 && ms <= 10000)) ctx.fail(w + ".ms", "0 to 10000 ms is expected");
            f.delay = std::chrono::microseconds(static_cast<long>(std::lround(ms * 1000)));
        }
    }
    return f;
}

MemoryPatch parsePatch(const Context& ctx, const json& v, const std::string& where) {
    if (!v.is_object()) ctx.fail(where, "an object with \"offset\" is expected");
    onlyKeys(ctx, v, where, {"offset", "text", "hex", "type", "value", "comment"});
    if (!v.contains("offset")) ctx.fail(where, "\"offset\" is missing");
    const double off = number(ctx, v["offset"], where + ".offset");
    if (!(off >= 0 && off < static_cast<double>(kMemorySize)) || off != std::floor(off)) {
        ctx.fail(where + ".offset", "a memory offset from 0 to 511 is expected");
    }
    MemoryPatch p;
    p.offset = static_cast<std::size_t>(off);
    const int kinds = static_cast<int>(v.contains("text")) + static_cast<int>(v.contains("hex")) +
                      static_cast<int>(v.contains("type"));
    if (kinds != 1) ctx.fail(where, "exactly one of \"text\", \"hex\" or \"type\" is expected");
    if (v.contains("text")) {
        if (!v["text"].is_string()) ctx.fail(where + ".text", "a string is expected");
        // JSON text is UTF-8; members keep their texts in the OEM code page.
        const std::string t =
            platform::AnsiToOem(platform::Utf8ToAnsi(v["text"].get<std::string>()));
        p.bytes.assign(t.begin(), t.end());
    } else if (v.contains("hex")) {
        if (!v["hex"].is_string() || !ParseHexText(v["hex"].get<std::string>(), p.bytes)) {
            ctx.fail(where + ".hex", "hex byte pairs are expected (\"0A 1B\")");
        }
    } else {
        if (!v["type"].is_string()) ctx.fail(where + ".type", "a type name is expected");
        if (!v.contains("value")) ctx.fail(where, "\"value\" is missing");
        const double value = number(ctx, v["value"], where + ".value");
        try {
            p.bytes = EncodeValue(v["type"].get<std::string>(), value, where);
        } catch (const SimError& e) {
            throw SimError(ctx.file() + ": " + e.what());
        }
    }
    if (p.offset + p.bytes.size() > kMemorySize) {
        ctx.fail(where, "the bytes reach past the 512 bytes of memory");
    }
    return p;
}

void put(std::vector<std::uint8_t>& out, std::uint64_t v, int bytes, bool msbFirst) {
    for (int i = 0; i < bytes; ++i) {
        const int shift = 8 * (msbFirst ? bytes - 1 - i : i);
        out.push_back(static_cast<std::uint8_t>(v >> shift));
    }
}

}  // namespace

std::vector<std::uint8_t> EncodeValue(std::string_view type, double value, std::string_view what) {
    const std::string w(what);
    auto whole = [&](double lo, double hi) {
        if (!(value >= lo && value <= hi) || value != std::floor(value)) {
            throw SimError(w + ": " + std::string(type) + " value " + std::to_string(value) +
                           " is out of range");
        }
        return static_cast<std::int64_t>(value);
    };
    std::vector<std::uint8_t> out;
    if (type == "char") {
        put(out, static_cast<std::uint64_t>(whole(0, 255)), 1, true);
    } else if (type == "int") {
        put(out, static_cast<std::uint64_t>(whole(-32768, 32767)), 2, true);
    } else if (type == "uint") {
        put(out, static_cast<std::uint64_t>(whole(0, 65535)), 2, true);
    } else if (type == "long") {
        put(out, static_cast<std::uint64_t>(whole(-2147483648.0, 2147483647.0)), 4, true);
    } else if (type == "ulong") {
        put(out, static_cast<std::uint64_t>(whole(0, 4294967295.0)), 4, true);
    } else if (type == "float" || type == "float2") {
        const auto bits = std::bit_cast<std::uint32_t>(static_cast<float>(value));
        put(out, bits, 4, type == "float2");
    } else if (type == "s5time") {
        // Time base 0..3 (10 ms, 100 ms, 1 s, 10 s) and a three-digit BCD count.
        if (!(value >= 0 && value <= 9990)) {
            throw SimError(w + ": s5time value " + std::to_string(value) +
                           " is outside 0..9990 seconds");
        }
        static const double steps[] = {0.01, 0.1, 1.0, 10.0};
        int base = 0;
        long count = 0;
        for (base = 0; base < 4; ++base) {
            count = std::lround(value / steps[base]);
            if (count <= 999) break;
        }
        out.push_back(static_cast<std::uint8_t>(base * 16 + count / 100));
        out.push_back(static_cast<std::uint8_t>(((count % 100) / 10) * 16 + count % 10));
    } else {
        throw SimError(w + ": unknown value type \"" + std::string(type) +
                       "\" (char, int, uint, long, ulong, float, float2, s5time)");
    }
    return out;
}

Scenario ParseScenario(std::string_view text, const std::filesystem::path& file) {
    const Context ctx(file);
    json root;
    try {
        root = json::parse(text.begin(), text.end());
    } catch (const json::exception& e) {
        // Syntax errors, and numbers too large for any type ("6e666"), which the parser
        // reports as out of range rather than as a syntax error.
        ctx.fail("", std::string("not valid JSON: ") + e.what());
    }
    if (!root.is_object()) ctx.fail("", "the top level must be an object");
    onlyKeys(ctx, root, "", {"wireTiming", "seed", "members", "comment"});
    Scenario s;
    s.file = file;
    if (root.contains("wireTiming")) {
        if (!root["wireTiming"].is_boolean()) ctx.fail("wireTiming", "true or false is expected");
        s.wireTiming = root["wireTiming"].get<bool>();
    }
    if (root.contains("seed")) {
        if (!root["seed"].is_number_unsigned()) {
            ctx.fail("seed", "a whole number 0 or greater is expected");
        }
        s.seed = root["seed"].get<std::uint64_t>();
    }
    if (!root.contains("members")) return s;
    const json& members = root["members"];
    if (!members.is_object()) ctx.fail("members", "an object keyed by bus address is expected");
    std::map<int, MemberSetup> byAddress;
    for (const auto& [key, m] : members.items()) {
        const std::string where = "members." + key;
        int address = -1;
        std::size_t used = 0;
        try {
            address = std::stoi(key, &used);
        } catch (const std::exception&) {
            used = 0;
        }
        if (used != key.size() || key.empty()) ctx.fail(where, "the key must be a bus address");
        if (address < 0 || address > kMaxBusAddress) {
            ctx.fail(where, "bus address " + key + " is outside 0..31");
        }
        if (byAddress.count(address)) ctx.fail(where, "bus address given twice");
        if (!m.is_object()) ctx.fail(where, "an object is expected");
        onlyKeys(ctx, m, where,
                 {"cfg", "turnaroundMs", "writeLock", "memory", "faults", "comment"});
        MemberSetup setup;
        setup.address = address;
        if (m.contains("cfg")) {
            if (!m["cfg"].is_string()) ctx.fail(where + ".cfg", "a file name is expected");
            std::filesystem::path p = m["cfg"].get<std::string>();
            if (p.is_relative()) p = file.parent_path() / p;
            setup.cfg = p;
        }
        if (m.contains("turnaroundMs")) {
            const double ms = number(ctx, m["turnaroundMs"], where + ".turnaroundMs");
            if (!(ms >= 0 && ms <= 10000)) {
                ctx.fail(where + ".turnaroundMs", "0 to 10000 ms is expected");
            }
            setup.turnaround = std::chrono::microseconds(static_cast<long>(std::lround(ms * 1000)));
        }
        if (m.contains("writeLock")) {
            if (!m["writeLock"].is_boolean()) {
                ctx.fail(where + ".writeLock", "true or false is expected");
            }
            setup.writeLock = m["writeLock"].get<bool>();
        }
        if (m.contains("memory")) {
            const json& mem = m["memory"];
            if (!mem.is_array()) ctx.fail(where + ".memory", "an array is expected");
            for (std::size_t i = 0; i < mem.size(); ++i) {
                setup.memory.push_back(
                    parsePatch(ctx, mem[i], where + ".memory[" + std::to_string(i) + "]"));
            }
        }
        if (m.contains("faults")) setup.faults = parseFaults(ctx, m["faults"], where + ".faults");
        byAddress.emplace(address, std::move(setup));
    }
    for (auto& [a, setup] : byAddress) s.members.push_back(std::move(setup));
    return s;
}

Scenario LoadScenario(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw SimError(file.string() + ": cannot be read");
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) throw SimError(file.string() + ": cannot be read");
    return ParseScenario(text.str(), file);
}

std::vector<std::string> ApplyScenario(Simulator& sim, const Scenario& scenario) {
    std::vector<std::string> warnings;
    if (scenario.wireTiming) sim.setWireTiming(*scenario.wireTiming);
    if (scenario.seed) sim.setSeed(*scenario.seed);
    for (const MemberSetup& m : scenario.members) {
        if (m.cfg) {
            CfgMemberInfo info = sim.addMemberFromCfg(m.address, *m.cfg);
            for (auto& w : info.warnings) warnings.push_back(std::move(w));
        } else if (!sim.hasMember(m.address)) {
            sim.addMember(m.address);
        }
        for (const MemoryPatch& p : m.memory) sim.writeMemory(m.address, p.offset, p.bytes);
        if (m.turnaround) sim.setTurnaround(m.address, *m.turnaround);
        if (m.faults) sim.setFaults(m.address, *m.faults);
        if (m.writeLock) sim.setWriteLock(m.address, *m.writeLock);
    }
    return warnings;
}

}  // namespace kvx::sim
