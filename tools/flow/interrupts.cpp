#include "flow/interrupts.hpp"

#include <csignal>
#include <initializer_list>

namespace {

volatile std::sig_atomic_t g_interrupted = 0;
struct sigaction g_previous[2];  // SIGINT, SIGTERM as they were before the run

int slot_of(int sig) {
    return sig == SIGINT ? 0 : 1;
}

extern "C" void on_interrupt(int sig) {
    g_interrupted = 1;
    sigaction(sig, &g_previous[slot_of(sig)], nullptr);
}

}  // namespace

InterruptGuard::InterruptGuard() {
    g_interrupted = 0;
    for (int sig : {SIGINT, SIGTERM}) {
        struct sigaction& previous = g_previous[slot_of(sig)];
        sigaction(sig, nullptr, &previous);
        if (previous.sa_handler == SIG_IGN) continue;
        struct sigaction ours {};
        ours.sa_handler = on_interrupt;
        // A read that blocks on a pipe resumes; the flag is looked at between frames.
        ours.sa_flags = SA_RESTART;
        sigemptyset(&ours.sa_mask);
        sigaction(sig, &ours, nullptr);
    }
}

InterruptGuard::~InterruptGuard() {
    for (int sig : {SIGINT, SIGTERM}) sigaction(sig, &g_previous[slot_of(sig)], nullptr);
}

bool InterruptGuard::requested() {
    return g_interrupted != 0;
}
