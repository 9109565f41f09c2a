#pragma once
// A pseudo-terminal pair: the master side is held by a bus-member simulator, the slave side is
// the device path that the bus masters open like a serial port.

#include <cstddef>
#include <memory>
#include <string>

#include "kvx/platform/clock.h"

namespace kvx::platform {

class PseudoTerminal {
  public:
    virtual ~PseudoTerminal() = default;

    // Creates the pair. The slave side is put in raw mode, and one slave descriptor is kept
    // open for the life of the object so that the master never sees a hang-up when masters
    // close the port between exchanges. nullptr and `error` set on failure.
    static std::unique_ptr<PseudoTerminal> create(int& error);

    // The device path that masters open ("/dev/pts/N").
    virtual const std::string& slavePath() const = 0;

    // Waits up to `timeout` for input on the master side, then reads what is there (at most
    // `capacity` bytes). Returns the number of bytes read; 0 on time-out. -1 on failure.
    virtual long readSome(void* buffer, std::size_t capacity, MonoClock::duration timeout) = 0;

    // Writes all bytes to the master side (blocking until the terminal takes them).
    virtual bool writeAll(const void* buffer, std::size_t count) = 0;

    // Discards input that arrived on the master side and was not read yet.
    virtual void discardInput() = 0;

    // Discards bytes written by the master side that no opener of the device path has read
    // (an answer that its master gave up on), so that they cannot pile up in the terminal.
    virtual void discardUnreadOutput() = 0;
};

}  // namespace kvx::platform
