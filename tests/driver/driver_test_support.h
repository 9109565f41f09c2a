#pragma once
// Helpers of the driver tests: a scratch installation directory with an INI file and device
// descriptions, a notifier that records messages, and a namespace recorder.

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "fenlodrv/plugin_abi.h"
#include "notifier.h"

namespace kvx::testing {

class ScratchDir {
  public:
    ScratchDir() {
        std::random_device rd;
        path_ = std::filesystem::temp_directory_path() /
                ("kvx-driver-" + std::to_string(rd()) + "-" + std::to_string(rd()));
        std::filesystem::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path write(const std::string& name, const std::string& text) const {
        const auto file = path_ / name;
        std::ofstream out(file, std::ios::binary);
        out << text;
        return file;
    }
    static std::string read(const std::filesystem::path& file) {
        std::ifstream in(file, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

  private:
    std::filesystem::path path_;
};

// Points the installation settings at `dir` and away from any system-wide file.
inline void SetEnv(const char* name, const std::string& value) {
#if defined(_WIN32)
    ::_putenv_s(name, value.c_str());
#else
    ::setenv(name, value.c_str(), 1);
#endif
}

inline void UseInstallDir(const std::filesystem::path& dir) {
    SetEnv("KORVEX_OPC_SERVER_CONF", (dir / "no-such-server.conf").string());
    SetEnv("KORVEX_OPC_INSTDIR", dir.string());
}

struct Message {
    std::string caption;
    std::string text;
};

class RecordingNotifier final : public driver::Notifier {
  public:
    RecordingNotifier() { driver::SetNotifier(this); }
    ~RecordingNotifier() override { driver::SetNotifier(nullptr); }
    void notify(std::string_view caption, std::string_view text) override {
        std::lock_guard lock(mutex_);
        messages_.push_back({std::string(caption), std::string(text)});
    }
    std::vector<Message> messages() const {
        std::lock_guard lock(mutex_);
        return messages_;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<Message> messages_;
};

// One callback as the host saw it.
struct Callback {
    bool isTag = false;
    std::string path;
    std::uint32_t parent = 0;
    std::uint32_t valueType = 0;
    std::uint32_t access = 0;
    std::uint32_t userData = 0;
    std::uint32_t reserved = 0;
};

// Records AddNode/AddTag calls; branch handles are 1, 2, ... in call order.
class CallbackRecorder {
  public:
    static CallbackRecorder*& current() {
        static CallbackRecorder* recorder = nullptr;
        return recorder;
    }
    CallbackRecorder() { current() = this; }
    ~CallbackRecorder() { current() = nullptr; }
    CallbackRecorder(const CallbackRecorder&) = delete;
    CallbackRecorder& operator=(const CallbackRecorder&) = delete;

    static std::int32_t SOXPS_CALL AddNode(std::uint32_t parent, const char* name,
                                           std::uint32_t* handle) {
        CallbackRecorder* self = current();
        Callback c;
        c.path = self->pathOf(parent, name);
        c.parent = parent;
        self->branches_.push_back(c.path);
        *handle = static_cast<std::uint32_t>(self->branches_.size());
        self->calls.push_back(c);
        return 0;
    }
    static std::int32_t SOXPS_CALL AddTag(std::uint32_t parent, const char* name,
                                          std::uint32_t valueType, std::uint32_t access,
                                          std::uint32_t userData, std::uint32_t reserved) {
        CallbackRecorder* self = current();
        Callback c;
        c.isTag = true;
        c.path = self->pathOf(parent, name);
        c.parent = parent;
        c.valueType = valueType;
        c.access = access;
        c.userData = userData;
        c.reserved = reserved;
        self->calls.push_back(c);
        return 0;
    }

    // "node PATH" / "tag PATH VT ACCESS" lines.
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        for (const Callback& c : calls) {
            out.push_back(c.isTag ? "tag " + c.path + " " + std::to_string(c.valueType) + " " +
                                        std::to_string(c.access)
                                  : "node " + c.path);
        }
        return out;
    }
    const Callback* tag(const std::string& path) const {
        for (const Callback& c : calls) {
            if (c.isTag && c.path == path) return &c;
        }
        return nullptr;
    }

    std::vector<Callback> calls;

  private:
    std::string pathOf(std::uint32_t parent, const char* name) const {
        if (parent == 0) return name;
        return branches_.at(parent - 1) + "." + name;
    }
    std::vector<std::string> branches_;
};

// A tag line of a device description.
inline std::string TagLine(const std::string& attributes) {
    return "tag\t" + attributes + "\t\n";
}

}  // namespace kvx::testing
