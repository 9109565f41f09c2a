// Placeholder used only while the polling thread's source is not in the tree: a thread that
// polls nothing and ends when the stop event is set.

#include <thread>

#include "runtime.h"

namespace kvx::driver {

struct PollingThread::Impl {
    explicit Impl(DriverState& s) : state(s) {}
    DriverState& state;
    std::thread thread;
};

PollingThread::PollingThread(DriverState& state) : impl_(std::make_unique<Impl>(state)) {}

PollingThread::~PollingThread() {
    stop();
}

bool PollingThread::start() {
    if (impl_->thread.joinable()) return false;
    impl_->thread = std::thread([this] {
        while (!impl_->state.stopEvent.waitFor(platform::Millis(10))) {
        }
    });
    return true;
}

void PollingThread::stop() {
    if (!impl_->thread.joinable()) return;
    impl_->state.stopEvent.set();
    impl_->thread.join();
}

bool PollingThread::running() const {
    return impl_->thread.joinable();
}

}  // namespace kvx::driver
