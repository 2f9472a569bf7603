// Ctrl-C and termination requests while the command line's run makes its output.
//
// The first one ends the run after the current frame and keeps what was measured; the handler
// then puts back what was there before (normally the default), so a second one stops the
// program at once. A signal the caller chose to ignore (a job started with nohup or in the
// background of a shell without job control) stays ignored; on leaving, every disposition is
// restored as it was. A host that runs the job in its own process (Python) installs none and
// keeps its own handlers.
#pragma once

class InterruptGuard {
  public:
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

    // Whether a signal came since the guard was made.
    static bool requested();
};
