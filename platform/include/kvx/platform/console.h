#pragma once
// The terminal a command-line program runs in: whether a standard stream is a terminal, and
// interrupt requests (Ctrl-C) taken as a Cancel press instead of ending the program.

namespace kvx::platform {

enum class StandardStream { Input, Output, Error };

bool IsTerminal(StandardStream stream);

// The warning sound of the system: the exclamation beep on Windows, the terminal bell where
// standard error is a terminal elsewhere (nothing otherwise).
void WarningBeep();

// While an object exists, the console shows the program's texts as UTF-8 (on Windows the
// console's output code page is UTF-8 meanwhile, and the earlier one comes back when the
// object goes; elsewhere terminals take UTF-8 as they are).
class Utf8Console {
  public:
    Utf8Console();
    ~Utf8Console();
    Utf8Console(const Utf8Console&) = delete;
    Utf8Console& operator=(const Utf8Console&) = delete;

  private:
    [[maybe_unused]] unsigned previous_ = 0;  // the code page to restore; 0: nothing to restore
};

// While an object exists, the first request to end the process - an interrupt from the
// terminal (Ctrl-C) or, on POSIX systems, a terminate request (SIGTERM) - does not end it but
// is counted; the owner looks at the count between its steps. A further request before the
// owner has settled the first ends the process at once, as the request does without this
// object (so a program stuck in a long wait can still be left), or at the end of a
// TerminationHold that is on. One object at a time.
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
// when the object goes. Holds may nest. In a program with several threads the hold covers
// the requests an InterruptCounter takes; without a counter, only those sent to the
// holding thread.
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
