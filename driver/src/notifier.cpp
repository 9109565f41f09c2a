#include "notifier.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

#include "kvx/platform/message_box.h"
#include "kvx/platform/system_log.h"

namespace kvx::driver {
namespace {

// Standard error and the system log: what a message box was on the desktop.
class DefaultNotifier final : public Notifier {
  public:
    void notify(std::string_view caption, std::string_view text) override {
        std::string line;
        line.reserve(caption.size() + text.size() + 4);
        line.append(caption).append(": ");
        // One message, one line: line breaks inside the text become " / ".
        for (char c : text) {
            if (c == '\n') {
                line.append(" / ");
            } else if (c != '\r') {
                line.push_back(c);
            }
        }
        {
            std::lock_guard lock(mutex_);
            std::fprintf(stderr, "%s\n", line.c_str());
            std::fflush(stderr);
        }
        platform::SystemLogWarning("fenlodrv", line);
        // Configuration messages (their captions name the kind of error) also go to the
        // desktop where it has message boxes, shown from a thread of their own.
        if (caption.find("ERROR") != std::string_view::npos) {
            platform::ShowMessageBoxAsync(caption, text);
        }
    }

  private:
    std::mutex mutex_;
};

DefaultNotifier& defaultNotifier() {
    static DefaultNotifier instance;
    return instance;
}

std::atomic<Notifier*> installed{nullptr};

}  // namespace

void Notify(std::string_view caption, std::string_view text) {
    Notifier* target = installed.load(std::memory_order_acquire);
    if (target == nullptr) target = &defaultNotifier();
    try {
        target->notify(caption, text);
    } catch (...) {
        // A message that cannot be shown must not take the caller down.
    }
}

void SetNotifier(Notifier* notifier) {
    installed.store(notifier, std::memory_order_release);
}

}  // namespace kvx::driver
