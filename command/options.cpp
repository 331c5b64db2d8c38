#include "options.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>

#include "stop.h"

namespace quarnel::command {

namespace {

constexpr const char* kUsage = "quarnel-reduce [--resume] [--jobs N] [--list FILE] OUTPUT_FOLDER [VOLUME...]";

// What --help prints after "usage: " and kUsage.
constexpr const char* kHelp =
    "\n"
    "\n"
    "Reduces each raw volume (512 x 512 x 512 little-endian int16, headerless) to V, 256 x 256 x 256\n"
    "single 2 x 2 x 2 block means, saved as OUTPUT_FOLDER/NAME.mat (an uncompressed MAT-file) for\n"
    "NAME.raw; a volume not named .raw is saved as its whole name with .mat added. The output\n"
    "folder is created when missing; its parent must exist.\n"
    "\n"
    "  --resume      keep each NAME.mat that is whole and was made from the volume as it is now\n"
    "                (same size and modification time); reduce the rest\n"
    "  --jobs N      reduce N volumes at once (1 to 64; default 1), about 65 MiB of memory each\n"
    "  --list FILE   also reduce the volumes named in FILE, NUL-separated (find -print0), before\n"
    "                the VOLUME arguments; - reads the list from standard input\n"
    "  --            ends the options\n"
    "  --help, --version\n"
    "\n"
    "Standard output gets one line a volume, in the order given: \"ok NAME.raw\", \"kept NAME.raw\"\n"
    "or \"failed NAME.raw: REASON\". Failed lines go to standard error too, and on a terminal a\n"
    "progress line. Exit status: 0 when every volume was reduced or kept, 1 when any failed (the\n"
    "others are done all the same), 2 when nothing could be tried, 130 or 143 when stopped by\n"
    "SIGINT or SIGTERM.\n";

// Standard output that can't be written makes --help and --version fail like any usage error.
[[noreturn]] void printAndExit(const char* text) {
    const bool printed = std::fputs(text, stdout) >= 0 && std::fflush(stdout) == 0;
    std::exit(printed ? 0 : 2);
}

[[noreturn]] void usageError(const std::string& message) {
    failBeforeStart(message + " (usage: " + kUsage + ")");
}

unsigned parseJobs(const std::string& text) {
    const bool digitsOnly = !text.empty() && text.size() <= 3 && text.find_first_not_of("0123456789") == std::string::npos;
    const unsigned long jobs = digitsOnly ? std::strtoul(text.c_str(), nullptr, 10) : 0;
    if (jobs < 1 || jobs > kMostJobs) {
        usageError("--jobs takes a whole number from 1 to " + std::to_string(kMostJobs) + ", not '" + shownName(text) + "'");
    }
    return static_cast<unsigned>(jobs);
}

// Waits until the list has bytes to read: poll, unlike a read restarted after the handler, comes
// back when a stop signal arrives, so that a list from a stalled pipe can't hold the command.
void awaitListBytes(int descriptor) {
    for (;;) {
        if (stopRequested()) {
            std::exit(128 + stopSignal());
        }
        pollfd ready{descriptor, POLLIN, 0};
        if (poll(&ready, 1, -1) >= 0 || errno != EINTR) {
            return;
        }
    }
}

std::string readWholeList(const std::string& listPath) {
    const bool standardInput = listPath == "-";
    const int descriptor = standardInput ? STDIN_FILENO : open(listPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        failBeforeStart("can't open the list " + shownName(listPath) + " (" + std::strerror(errno) + ")");
    }
    std::string bytes;
    char chunk[65536];
    for (;;) {
        awaitListBytes(descriptor);
        const ssize_t count = read(descriptor, chunk, sizeof chunk);
        if (count == 0) {
            break;
        }
        if (count < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            failBeforeStart("can't read the list " + shownName(listPath) + " (" + std::strerror(errno) + ")");
        }
        bytes.append(chunk, static_cast<std::size_t>(count));
    }
    if (!standardInput) {
        close(descriptor);
    }
    return bytes;
}

// NUL ends each entry; the last one may go without. An empty entry is refused: it names no file,
// and two NULs in a row mostly mean a list made wrongly.
void appendListEntries(const std::string& listPath, std::vector<std::string>& volumes) {
    const std::string bytes = readWholeList(listPath);
    std::size_t start = 0;
    std::size_t entry = 1;
    while (start < bytes.size()) {
        std::size_t end = bytes.find('\0', start);
        if (end == std::string::npos) {
            end = bytes.size();
        }
        if (end == start) {
            usageError("the list " + shownName(listPath) + " has an empty entry (entry " + std::to_string(entry) + ")");
        }
        volumes.push_back(bytes.substr(start, end - start));
        start = end + 1;
        ++entry;
    }
}

}  // namespace

void failBeforeStart(const std::string& message) {
    const std::string line = "quarnel-reduce: " + message + "\n";
    (void)!write(STDERR_FILENO, line.data(), line.size());
    std::exit(2);
}

std::string shownName(const std::string& name) {
    std::string shown;
    for (const char character : name) {
        const auto byte = static_cast<unsigned char>(character);
        switch (character) {
            case '\n': shown += "\\n"; break;
            case '\t': shown += "\\t"; break;
            case '\r': shown += "\\r"; break;
            case '\\': shown += "\\\\"; break;
            default:
                if (byte < 0x20 || byte == 0x7F) {
                    char escaped[5];
                    (void)std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(byte));
                    shown += escaped;
                } else {
                    shown += character;
                }
        }
    }
    return shown;
}

Options parseCommandLine(int argc, char* argv[]) {
    Options options;
    bool listGiven = false;
    std::string listPath;
    int next = 1;
    // Options come first; the first argument that is none (or --) ends them, so a volume named
    // "-x.raw" after the output folder is taken as a volume.
    for (; next < argc; ++next) {
        const std::string argument = argv[next];
        if (argument == "--") {
            ++next;
            break;
        }
        if (argument.empty() || argument[0] != '-' || argument == "-") {
            break;
        }
        if (argument == "--help" || argument == "-h") {
            printAndExit((std::string("usage: ") + kUsage + kHelp).c_str());
        }
        if (argument == "--version") {
            printAndExit("quarnel-reduce " QUARNEL_VERSION "\n");
        }
        if (argument == "--resume") {
            options.resume = true;
            continue;
        }
        const std::size_t equals = argument.find('=');
        const std::string name = argument.substr(0, equals);
        if (name != "--jobs" && name != "--list") {
            usageError("unknown option " + shownName(argument));
        }
        std::string value;
        if (equals != std::string::npos) {
            value = argument.substr(equals + 1);
        } else if (next + 1 < argc) {
            value = argv[++next];
        } else {
            usageError(name + " needs a value");
        }
        if (name == "--jobs") {
            options.jobs = parseJobs(value);
        } else if (listGiven) {
            usageError("--list is given twice");
        } else {
            listGiven = true;
            listPath = value;
        }
    }
    if (next >= argc) {
        usageError("no output folder");
    }
    options.outputFolder = argv[next++];
    if (options.outputFolder.empty()) {
        usageError("the output folder is an empty path");
    }
    if (listGiven) {
        appendListEntries(listPath, options.volumes);
    }
    for (; next < argc; ++next) {
        options.volumes.emplace_back(argv[next]);
    }
    if (!listGiven && options.volumes.empty()) {
        usageError("no volumes to reduce");
    }
    return options;
}

}  // namespace quarnel::command
