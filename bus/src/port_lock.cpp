#include "kvx/bus/port_lock.h"

#include <algorithm>

namespace kvx::bus {

bool PortLock::try_lock() {
    std::lock_guard guard(mutex_);
    if (depth_ > 0 && owner_ == std::this_thread::get_id()) {
        ++depth_;
        return true;
    }
    if (depth_ > 0 || !waiting_.empty()) return false;
    owner_ = std::this_thread::get_id();
    depth_ = 1;
    return true;
}

void PortLock::unlock() {
    {
        std::lock_guard guard(mutex_);
        if (depth_ == 0 || --depth_ > 0) return;
        owner_ = std::thread::id();
    }
    turn_.notify_all();
}

bool PortLock::lockUnless(const std::atomic<bool>* abandon) {
    auto abandoned = [abandon] { return abandon != nullptr && abandon->load(); };
    std::unique_lock guard(mutex_);
    if (abandoned()) return false;
    if (depth_ > 0 && owner_ == std::this_thread::get_id()) {
        ++depth_;
        return true;
    }
    const std::uint64_t ticket = nextTicket_++;
    waiting_.push_back(ticket);
    turn_.wait(guard, [&] { return (depth_ == 0 && waiting_.front() == ticket) || abandoned(); });
    if (depth_ == 0 && waiting_.front() == ticket) {
        waiting_.pop_front();
        owner_ = std::this_thread::get_id();
        depth_ = 1;
        return true;
    }
    // Gives up its place; the next in line may be first now.
    waiting_.erase(std::find(waiting_.begin(), waiting_.end(), ticket));
    guard.unlock();
    turn_.notify_all();
    return false;
}

void PortLock::wakeWaiters() {
    // Taking the mutex orders the flag set before it against a waiter's look at it.
    { std::lock_guard guard(mutex_); }
    turn_.notify_all();
}

}  // namespace kvx::bus
