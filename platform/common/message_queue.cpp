#include "kvx/platform/message_box.h"

namespace kvx::platform {

MessageQueue::MessageQueue(Show show, std::size_t capacity)
    : show_(std::move(show)), capacity_(capacity) {}

MessageQueue::~MessageQueue() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        pending_.clear();
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

bool MessageQueue::post(std::string_view caption, std::string_view text) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_ || pending_.size() >= capacity_) return false;
        pending_.emplace_back(std::string(caption), std::string(text));
        if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
    }
    wake_.notify_one();
    return true;
}

void MessageQueue::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
        if (stopping_) return;
        auto [caption, text] = std::move(pending_.front());
        pending_.pop_front();
        lock.unlock();
        try {
            show_(caption, text);
        } catch (...) {
            // A message that cannot be shown is lost; the queue goes on.
        }
        lock.lock();
    }
}

}  // namespace kvx::platform
