#include "stop.h"

#include <atomic>
#include <csignal>

namespace quarnel::command {

namespace {

// Lock-free, so that the handler may store into it and every worker thread read it.
std::atomic<int> firstStopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void recordStopSignal(int signalNumber) {
    int none = 0;
    firstStopSignal.compare_exchange_strong(none, signalNumber);
}

}  // namespace

void catchStopSignals() {
    struct sigaction action {};
    action.sa_handler = recordStopSignal;
    sigemptyset(&action.sa_mask);
    // Interrupted calls are restarted: the volumes notice the stop at their own checkpoints, and
    // the one wait that could block for long, reading a list from a pipe, polls.
    action.sa_flags = SA_RESTART;
    (void)sigaction(SIGINT, &action, nullptr);
    (void)sigaction(SIGTERM, &action, nullptr);
    (void)std::signal(SIGXFSZ, SIG_IGN);
}

int stopSignal() {
    return firstStopSignal.load();
}

}  // namespace quarnel::command
