#pragma once
// Messages for the person at the desktop, shown without ever blocking the caller: a queue
// that one thread of its own empties, one message at a time, into the system's message box
// (MessageBoxA with a warning icon on Windows). A message box waits for its OK; the caller
// does not.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace kvx::platform {

class MessageQueue {
  public:
    using Show = std::function<void(const std::string& caption, const std::string& text)>;

    // At most `capacity` messages wait; later ones are dropped until the queue drains, so a
    // message repeated in a loop cannot pile up boxes. The thread starts with the first post.
    MessageQueue(Show show, std::size_t capacity);
    // Waits for the message being shown, drops the rest.
    ~MessageQueue();
    MessageQueue(const MessageQueue&) = delete;
    MessageQueue& operator=(const MessageQueue&) = delete;

    // Returns at once; false when the message was dropped.
    bool post(std::string_view caption, std::string_view text);

  private:
    void run();

    Show show_;
    std::size_t capacity_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::pair<std::string, std::string>> pending_;
    bool stopping_ = false;
    std::thread thread_;
};

// Shows a warning message box from the process's message thread. Returns false where the
// system has no desktop message box (POSIX) or the message was dropped.
bool ShowMessageBoxAsync(std::string_view caption, std::string_view text);

}  // namespace kvx::platform
