#pragma once
// The port lock of the bus link: recursive, and handed on in the order it was asked for, so
// that a thread waiting for the bus (the polling thread behind a stream of host writes, each
// up to half a second on a silent member) is never overtaken again and again. A waiter may
// also give up its place when told to, which lets the polling thread end at once when the
// plug-in stops, whatever the writers do.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

namespace kvx::bus {

class PortLock {
  public:
    PortLock() = default;
    PortLock(const PortLock&) = delete;
    PortLock& operator=(const PortLock&) = delete;

    void lock() { (void)lockUnless(nullptr); }
    // Takes the lock only if it is free and nobody waits for it (or this thread holds it).
    bool try_lock();
    void unlock();

    // Waits for the lock in turn. Returns false, without the lock, when `abandon` is (or
    // becomes) true; it is looked at on entry and whenever wakeWaiters() is called.
    bool lockUnless(const std::atomic<bool>* abandon);
    // Makes every waiter look at its abandon flag again.
    void wakeWaiters();

  private:
    std::mutex mutex_;
    std::condition_variable turn_;
    std::deque<std::uint64_t> waiting_;  // tickets, first asked first
    std::uint64_t nextTicket_ = 0;
    std::thread::id owner_;
    int depth_ = 0;
};

}  // namespace kvx::bus
