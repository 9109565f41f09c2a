#pragma once
// Where the plug-in's messages go: standard error and the system log by default, and on
// Windows a message box for configuration messages, shown by a thread of its own; tests and
// hosts linked in-process may install their own. Notifying never blocks a bus, image or
// request path.

#include <string_view>

namespace kvx::driver {

class Notifier {
  public:
    virtual ~Notifier() = default;
    virtual void notify(std::string_view caption, std::string_view text) = 0;
};

// Sends one message to the installed notifier.
void Notify(std::string_view caption, std::string_view text);

// Installs `notifier` (nullptr restores the default). The caller keeps it alive.
void SetNotifier(Notifier* notifier);

}  // namespace kvx::driver
