// The command line: quarnel-reduce [--resume] [--jobs N] [--list FILE] [--format F[,F]]
//                                   [--voxel-size S|SX,SY,SZ] [--shape X,Y,Z] [--type T]
//                                   [--byte-order little|big] [--header-bytes N]
//                                   OUTPUT_FOLDER [VOLUME...]
#pragma once

#include <array>
#include <string>
#include <vector>

#include "result_file.h"

namespace quarnel::command {

struct Options {
    bool resume = false;
    unsigned jobs = 1;
    std::vector<Format> formats{Format::mat};  // in the order they are written
    std::array<double, 3> voxelSize{1, 1, 1};  // millimetres, along the input's columns, rows, slices
    RawLayout layout;                          // the inputs'
    std::size_t levels = 0;                    // a pyramid's; 0 until its default is known
    std::string outputFolder;
    std::vector<std::string> volumes;  // the --list entries first, then the VOLUME arguments
};

// What the command line asks for. Ends the process for --help and --version (status 0), for a
// usage error or a list that can't be read (status 2, one line on standard error), and for a stop
// while the list is read. `inputClosed`: standard input was closed, so no list comes from it.
Options parseCommandLine(int argc, char* argv[], bool inputClosed);

// Ends the process with status 2 and "quarnel-reduce: MESSAGE" on standard error, followed by
// " (REASON)" for a nonzero errno value `error`.
[[noreturn]] void failBeforeStart(const std::string& message, int error = 0);

// A name as a line shows it: control characters (C0, DEL, and C1 unless in a UTF-8 character),
// the backslash and the colon of ": " written as C escapes (\n, \t, \r, \\, \xHH), so that a line
// stays one line, does nothing to a terminal, and splits at its first ": ".
std::string shownName(const std::string& name);

}  // namespace quarnel::command
