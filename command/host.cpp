// The core reaches its host through mexPrintf and mexEvalString alone. The command prints nothing
// for the core: the progress lines are dropped (the command draws its own progress per volume),
// and any other text is the line that says why the volume failed. Each worker thread reduces its
// own volume, so what the core printed is kept per thread.
#include "host.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "host/mex.h"
#include "stop.h"

namespace quarnel::command {

namespace {

constexpr const char* kProgressPrefix = "Resample Progress";

thread_local std::string printedText;
thread_local int savedErrno = 0;

}  // namespace

void startCoreTranscript() {
    printedText.clear();
    savedErrno = 0;
}

std::string coreFailureLine() {
    return printedText.substr(0, printedText.find('\n'));
}

int errnoAtCoreFailure() {
    return savedErrno;
}

}  // namespace quarnel::command

extern "C" int mexPrintf(const char* format, ...) {
    using namespace quarnel::command;
    // A progress line is known by its format: it is dropped before it is formatted, 256 times a
    // volume.
    if (std::strncmp(format, kProgressPrefix, std::strlen(kProgressPrefix)) == 0) {
        return 0;
    }
    const int errnoOnEntry = errno;
    std::va_list arguments;
    va_start(arguments, format);
    std::va_list measuring;
    va_copy(measuring, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, measuring);
    va_end(measuring);
    if (length <= 0) {
        va_end(arguments);
        return length;
    }
    std::vector<char> text(static_cast<std::size_t>(length) + 1);
    (void)std::vsnprintf(text.data(), text.size(), format, arguments);
    va_end(arguments);
    if (printedText.empty()) {
        savedErrno = errnoOnEntry;
    }
    printedText.append(text.data(), static_cast<std::size_t>(length));
    return length;
}

// Called before every slice pair, where a host redraws and so where it can interrupt a call. A
// stop signal ends the volume here, within one pair of the signal.
extern "C" int mexEvalString(const char* /*command*/) {
    if (quarnel::command::stopRequested()) {
        throw quarnel::command::VolumeInterrupted{};
    }
    return 0;
}
