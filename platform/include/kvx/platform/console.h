#pragma once
// The terminal a command-line program runs in: whether a standard stream is a terminal, and
// interrupt requests (Ctrl-C) taken as a Cancel press instead of ending the program.

namespace kvx::platform {

enum class StandardStream { Input, Output, Error };

bool IsTerminal(StandardStream stream);

// While an object exists, the first interrupt request from the terminal does not end the
// process but is counted; the owner looks at the count between its steps. A further request
// before the owner has settled the first ends the process at once, as an interrupt does
// without this object (so a program stuck in a long wait can still be left). One object at
// a time.
class InterruptCounter {
  public:
    InterruptCounter();
    ~InterruptCounter();
    InterruptCounter(const InterruptCounter&) = delete;
    InterruptCounter& operator=(const InterruptCounter&) = delete;

    // Requests since the last call.
    int Take();
    // The owner has acted on the requests so far (the user answered the question they led
    // to): the next request counts as a first one again.
    void Settle();
    // False when the system refused to hand the requests over.
    bool active() const { return active_; }

  private:
    bool active_ = false;
};

// While an object exists, requests to end the process (interrupt, terminate, hang-up) wait,
// so that a file being written is finished whole; a request that came meanwhile takes effect
// when the object goes. Holds may nest.
class TerminationHold {
  public:
    TerminationHold();
    ~TerminationHold();
    TerminationHold(const TerminationHold&) = delete;
    TerminationHold& operator=(const TerminationHold&) = delete;

  private:
    unsigned char saved_[128]{};  // the previous signal mask, opaque here
};

}  // namespace kvx::platform
