#include "stop.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>

namespace quarnel::command {

namespace {

// Lock-free, so that a handler may store into it and every thread read it.
std::atomic<int> firstStopStatus{0};
static_assert(std::atomic<int>::is_always_lock_free);
int stopPipe[2] = {-1, -1};

extern "C" void stopOnSignal(int signalNumber) { requestStop(128 + signalNumber); }

}  // namespace

bool catchStopSignals() {
    struct sigaction action {};
    action.sa_handler = stopOnSignal;
    // Reads and writes of files go on; every wait that could last polls the stop pipe instead.
    action.sa_flags = SA_RESTART;
    const bool caught = pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) == 0 && sigemptyset(&action.sa_mask) == 0 &&
                        sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0 &&
                        sigaction(SIGHUP, &action, nullptr) == 0;
    return caught && std::signal(SIGPIPE, SIG_IGN) != SIG_ERR && std::signal(SIGXFSZ, SIG_IGN) != SIG_ERR;
}

void requestStop(int status) {
    int none = 0;
    if (!firstStopStatus.compare_exchange_strong(none, status)) return;
    const int savedErrno = errno;
    (void)!write(stopPipe[1], "", 1);
    errno = savedErrno;
}

int stopStatus() { return firstStopStatus.load(); }

int stopDescriptor() { return stopPipe[0]; }

}  // namespace quarnel::command
