// The command line: quarnel-reduce [--resume] [--jobs N] [--list FILE] OUTPUT_FOLDER [VOLUME...]
#pragma once

#include <string>
#include <vector>

namespace quarnel::command {

constexpr unsigned kMostJobs = 64;

struct Options {
    bool resume = false;
    unsigned jobs = 1;
    std::string outputFolder;
    // The --list entries first, then the VOLUME arguments.
    std::vector<std::string> volumes;
};

// What the command line asks for. Ends the process for --help and --version (status 0) and for a
// usage error (status 2, one line on standard error); also when a stop signal comes while the
// list is read (128 + the signal's number).
Options parseCommandLine(int argc, char* argv[]);

// Ends the process with status 2 and "quarnel-reduce: MESSAGE" on standard error.
[[noreturn]] void failBeforeStart(const std::string& message);

// A path or name as it is shown in a line: every byte as it is, but for control characters and
// the backslash, written as C escapes (\n, \t, \r, \\, \xHH), so that a line stays one line.
std::string shownName(const std::string& name);

}  // namespace quarnel::command
