#pragma once
// The terminal a command-line program runs in: whether a standard stream is a terminal, and
// interrupt requests (Ctrl-C) taken as a Cancel press instead of ending the program.

namespace kvx::platform {

enum class StandardStream { Input, Output, Error };

bool IsTerminal(StandardStream stream);

// While an object exists, an interrupt request from the terminal does not end the process
// but is counted; the owner looks at the count between its steps. One object at a time.
class InterruptCounter {
  public:
    InterruptCounter();
    ~InterruptCounter();
    InterruptCounter(const InterruptCounter&) = delete;
    InterruptCounter& operator=(const InterruptCounter&) = delete;

    // Requests since the last call.
    int Take();
    // False when the system refused to hand the requests over.
    bool active() const { return active_; }

  private:
    bool active_ = false;
};

}  // namespace kvx::platform
