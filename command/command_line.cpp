#include "command_line.h"

#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cfloat>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>

#include "pyramid.h"
#include "stop.h"

namespace quarnel::command {

namespace {

constexpr const char* kUsage =
    "quarnel-reduce [--resume] [--jobs N] [--list FILE] [--format F[,F...]] [--voxel-size S] [--shape X,Y,Z] [--type T] "
    "[--byte-order little|big] [--header-bytes N] [--levels N] OUTPUT_FOLDER [VOLUME...]";

constexpr long kMostJobs = 64;

// Far more than any list of volumes: a million paths of 64 bytes.
constexpr std::size_t kMostListBytes = std::size_t{64} << 20;

// MATLAB loads version 5 MAT-files below 2 GiB alone.
constexpr std::uint64_t kMostMatBytes = (std::uint64_t{1} << 31) - 1;

// What --help prints after "usage: " and kUsage.
constexpr const char* kHelp =
    "\n"
    "\n"
    "Reduces each raw volume (by default 512 x 512 x 512 little-endian int16, headerless) to V, the\n"
    "single means of its 2 x 2 x 2 blocks, saved as OUTPUT_FOLDER/NAME.mat (an uncompressed MAT-file)\n"
    "for NAME.raw; a volume not named .raw is saved as its whole name with .mat added. Of an odd edge\n"
    "the last column, row or slice is left out. The output folder is created when missing; its parent\n"
    "must exist.\n"
    "\n"
    "  --resume        keep each result that is whole and was made from the volume as it is now\n"
    "                  (same size and modification time, same options); reduce the rest\n"
    "  --jobs N        reduce N volumes at once (1 to 64; default 1)\n"
    "  --list FILE     also reduce the volumes named in FILE, NUL-separated (find -print0), before\n"
    "                  the VOLUME arguments; - reads the list from standard input\n"
    "  --format F      mat (the default), nifti (NAME.nii, a NIfTI-1 image with the voxel size\n"
    "                  and position), zarr (NAME.ome.zarr, an OME-Zarr pyramid of the means of\n"
    "                  blocks of 2, 4, 8... samples along each axis), or several, as mat,nifti,zarr:\n"
    "                  all from one read of the volume. MAT results of 2 GiB or more, which\n"
    "                  MATLAB can't load, are refused: use nifti\n"
    "  --levels N      the pyramid's levels (default: until every edge of the last is at most 64)\n"
    "  --voxel-size S  the input's voxel edge in millimetres, or SX,SY,SZ along its columns, rows\n"
    "                  and slices (default 1); NAME.nii's voxels are twice as large\n"
    "  --shape X,Y,Z   the volume's columns, rows and slices, x varying fastest, then y, then z;\n"
    "                  each from 2 to 65535 (default 512,512,512)\n"
    "  --type T        its samples: int16 (the default), uint16, uint8 or float32. Integer means\n"
    "                  are truncated toward zero; float32 samples are summed in double, x first,\n"
    "                  then y, then z, and each mean rounded to the nearest float32\n"
    "  --byte-order B  little (the default) or big\n"
    "  --header-bytes N  skip the first N bytes of each file (default 0)\n"
    "  --              ends the options\n"
    "  --help, --version\n"
    "\n"
    "Each worker holds about X*Y*B + (12 + 4F)*(X/2)*(Y/2) bytes, B being the bytes of a sample\n"
    "and F the number of formats mat and nifti, and at least 1 MiB for each format: 3 MiB for the\n"
    "default; with zarr, 360*(X/2)*(Y/2) bytes more, at most: the slices of a row of chunks of each\n"
    "level, and its sums.\n"
    "\n"
    "Standard output gets one line a volume, in the order given: \"ok NAME.raw\", \"kept NAME.raw\"\n"
    "or \"failed NAME.raw: REASON\". Standard error gets each failed line too, unless it is the file\n"
    "standard output writes to, and on a terminal a progress line. Exit status: 0 when every volume\n"
    "was reduced or kept, 1 when any failed (the others are done all the same), 2 when nothing\n"
    "could be tried, 129, 130 or 143 when stopped by SIGHUP, SIGINT or SIGTERM. When standard\n"
    "output takes no more lines (a reader that has gone, a full device), the run stops as for a\n"
    "signal, with 141 for a broken pipe and 1 otherwise. A stopped run ends the volumes in progress\n"
    "as \"interrupted\", starts no other, and leaves no temporary file.\n";

// Standard output that can't be written makes --help and --version fail like any usage error.
[[noreturn]] void printAndExit(const std::string& text) {
    std::exit(std::fputs(text.c_str(), stdout) >= 0 && std::fflush(stdout) == 0 ? 0 : 2);
}

[[noreturn]] void usageError(const std::string& message) { failBeforeStart(message + " (usage: " + kUsage + ")"); }

unsigned parseJobs(const std::string& text) {
    char* end = nullptr;
    const long jobs = std::strtol(text.c_str(), &end, 10);
    if (text[0] < '0' || text[0] > '9' || *end != '\0' || jobs < 1 || jobs > kMostJobs) {
        usageError("--jobs takes a whole number from 1 to " + std::to_string(kMostJobs) + ", not '" + shownName(text) + "'");
    }
    return static_cast<unsigned>(jobs);
}

std::vector<std::string> splitAtCommas(const std::string& text) {
    std::vector<std::string> parts;
    for (std::size_t start = 0;; start = text.find(',', start) + 1) {
        parts.push_back(text.substr(start, text.find(',', start) - start));
        if (text.find(',', start) == std::string::npos) return parts;
    }
}

// "mat", "nifti" and "zarr", one or more of them separated by commas, each once; written in that
// order.
std::vector<Format> parseFormats(const std::string& text) {
    const std::pair<const char*, Format> names[] = {{"mat", Format::mat}, {"nifti", Format::nifti}, {"zarr", Format::zarr}};
    const std::vector<std::string> parts = splitAtCommas(text);
    std::vector<Format> formats;
    for (const auto& [name, format] : names) {
        if (std::find(parts.begin(), parts.end(), name) != parts.end()) formats.push_back(format);
    }
    std::vector<std::string> sorted = parts;
    std::sort(sorted.begin(), sorted.end());
    if (formats.size() != parts.size() || std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) {
        usageError("--format takes mat, nifti, zarr or several of them, as mat,nifti,zarr, not '" + shownName(text) + "'");
    }
    return formats;
}

// One or three positive decimal numbers, separated by commas, each one whose double and half a
// NIfTI header's 32-bit floats hold.
std::array<double, 3> parseVoxelSize(const std::string& text) {
    std::vector<double> edges;
    for (const std::string& number : splitAtCommas(text)) {
        // Digits, a point and an exponent alone: strtod would take "inf", "nan" and hexadecimal too.
        const bool decimal = (std::isdigit(static_cast<unsigned char>(number[0])) != 0 || number[0] == '.') &&
                             number.find_first_not_of("0123456789.eE+-") == std::string::npos;
        char* end = nullptr;
        const double edge = decimal ? std::strtod(number.c_str(), &end) : 0;
        edges.push_back(end != nullptr && *end == '\0' && edge >= 2 * FLT_MIN && edge <= FLT_MAX / 2 ? edge : 0);
    }
    if (edges.size() == 1) edges.resize(3, edges[0]);
    if (edges.size() != 3 || std::find(edges.begin(), edges.end(), 0.0) != edges.end()) {
        usageError("--voxel-size takes S or SX,SY,SZ, positive decimal numbers of millimetres, not '" + shownName(text) + "'");
    }
    return {edges[0], edges[1], edges[2]};
}

// A whole number in decimal digits, at most `most`; nothing when the text is anything else.
std::optional<std::uint64_t> wholeNumber(const std::string& text, std::uint64_t most) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
    if (errno == ERANGE || value > most) return std::nullopt;
    return value;
}

// Three edges, separated by commas, each from kLeastEdge to kMostEdge.
std::array<std::uint32_t, 3> parseShape(const std::string& text) {
    const std::vector<std::string> parts = splitAtCommas(text);
    std::array<std::uint32_t, 3> edges{};
    for (std::size_t i = 0; i < edges.size() && parts.size() == edges.size(); ++i) {
        edges[i] = static_cast<std::uint32_t>(wholeNumber(parts[i], kMostEdge).value_or(0));
    }
    if (*std::min_element(edges.begin(), edges.end()) < kLeastEdge) {
        usageError("--shape takes X,Y,Z, three whole numbers from " + std::to_string(kLeastEdge) + " to " +
                   std::to_string(kMostEdge) + ", not '" + shownName(text) + "'");
    }
    return edges;
}

SampleType parseType(const std::string& text) {
    const std::pair<const char*, SampleType> types[] = {
        {"int16", SampleType::int16}, {"uint16", SampleType::uint16}, {"uint8", SampleType::uint8}, {"float32", SampleType::float32}};
    for (const auto& [name, type] : types) {
        if (text == name) return type;
    }
    usageError("--type takes int16, uint16, uint8 or float32, not '" + shownName(text) + "'");
}

ByteOrder parseByteOrder(const std::string& text) {
    if (text != "little" && text != "big") usageError("--byte-order takes little or big, not '" + shownName(text) + "'");
    return text == "big" ? ByteOrder::big : ByteOrder::little;
}

std::uint64_t parseHeaderBytes(const std::string& text) {
    const std::optional<std::uint64_t> bytes = wholeNumber(text, std::numeric_limits<std::uint64_t>::max());
    if (!bytes) usageError("--header-bytes takes a whole number of bytes, not '" + shownName(text) + "'");
    return *bytes;
}

std::size_t parseLevels(const std::string& text) {
    const std::optional<std::uint64_t> levels = wholeNumber(text, 15);
    if (!levels || *levels == 0) usageError("--levels takes a whole number from 1 to 15, not '" + shownName(text) + "'");
    return static_cast<std::size_t>(*levels);
}

// Waits until the list has bytes or has ended: poll, unlike a read, hears a stop, so that a list
// from a stalled pipe can't hold the command.
void awaitList(int descriptor) {
    pollfd ready[2] = {{descriptor, POLLIN, 0}, {stopDescriptor(), POLLIN, 0}};
    while (poll(ready, 2, -1) < 0 && errno == EINTR) {
    }
    if (stopRequested()) std::exit(stopStatus());
}

// NUL ends each entry; the last one may go without. An empty entry is refused: it names no file,
// and two NULs in a row mostly mean a list made wrongly.
void appendList(const std::string& listPath, std::vector<std::string>& volumes) {
    const bool standardInput = listPath == "-";
    // O_NONBLOCK: opening a FIFO doesn't wait for its writer; awaitList does, and hears a stop.
    const int descriptor = standardInput ? STDIN_FILENO : open(listPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) failBeforeStart("can't open the list " + shownName(listPath), errno);
    const std::size_t firstEntry = volumes.size();
    std::string entry;
    std::size_t listBytes = 0;
    char chunk[65536];
    for (;;) {
        awaitList(descriptor);
        const ssize_t count = read(descriptor, chunk, sizeof chunk);
        if (count == 0) break;
        if (count < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (count < 0) failBeforeStart("can't read the list " + shownName(listPath), errno);
        listBytes += static_cast<std::size_t>(count);
        if (listBytes > kMostListBytes) usageError("the list " + shownName(listPath) + " is longer than any list of volumes (64 MiB)");
        for (const char* next = chunk; next < chunk + count;) {
            const char* end = static_cast<const char*>(std::memchr(next, '\0', static_cast<std::size_t>(chunk + count - next)));
            entry.append(next, end == nullptr ? chunk + count : end);
            if (end == nullptr) break;
            if (entry.empty()) {
                usageError("the list " + shownName(listPath) + " has an empty entry (entry " +
                           std::to_string(volumes.size() - firstEntry + 1) + ")");
            }
            volumes.push_back(std::move(entry));
            entry.clear();
            next = end + 1;
        }
    }
    if (!entry.empty()) volumes.push_back(std::move(entry));
    if (!standardInput) close(descriptor);
}

// The length of the UTF-8 character of two to four bytes at `at`, or 0 when there is none. Those
// led by 0xC2 are left out: U+0080 to U+009F are the C1 controls.
std::size_t utf8CharacterAt(const std::string& text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    const std::size_t length = lead < 0xC3 || lead > 0xF4 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    for (std::size_t i = 1; i < length; ++i) {
        if (at + i >= text.size() || (static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80) return 0;
    }
    return length;
}

}  // namespace

void failBeforeStart(const std::string& message, int error) {
    const std::string line = "quarnel-reduce: " + message + (error != 0 ? std::string(" (") + std::strerror(error) + ")" : "") + "\n";
    (void)!write(STDERR_FILENO, line.data(), line.size());
    std::exit(2);
}

std::string shownName(const std::string& name) {
    std::string shown;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const auto byte = static_cast<unsigned char>(name[i]);
        if (const std::size_t character = utf8CharacterAt(name, i)) {
            shown.append(name, i, character);
            i += character - 1;
        } else if (const char* named = byte == '\n' ? "\\n" : byte == '\t' ? "\\t" : byte == '\r' ? "\\r" : byte == '\\' ? "\\\\" : nullptr) {
            shown += named;
        } else if (byte < 0x20 || (byte >= 0x7F && byte < 0xA0) || (byte == ':' && i + 1 < name.size() && name[i + 1] == ' ')) {
            char escaped[5];
            (void)std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(byte));
            shown += escaped;
        } else {
            shown += name[i];
        }
    }
    return shown;
}

Options parseCommandLine(int argc, char* argv[], bool inputClosed) {
    static const option kOptions[] = {
        {"resume", no_argument, nullptr, 'r'}, {"jobs", required_argument, nullptr, 'j'},
        {"list", required_argument, nullptr, 'l'}, {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'}, {"format", required_argument, nullptr, 'f'},
        {"voxel-size", required_argument, nullptr, 's'}, {"shape", required_argument, nullptr, 'x'},
        {"type", required_argument, nullptr, 't'}, {"byte-order", required_argument, nullptr, 'b'},
        {"header-bytes", required_argument, nullptr, 'H'}, {"levels", required_argument, nullptr, 'L'},
        {nullptr, 0, nullptr, 0},
    };
    Options options;
    const char* listPath = nullptr;
    bool version = false;  // printed once the options are judged, as quarnel-submit asks for it to judge them
    opterr = 0;
    // "+": the first argument that is no option ends them, so that a volume named "-x.raw" after
    // the output folder is a volume. ":": a missing value is told apart from an unknown option.
    for (int option = 0; (option = getopt_long(argc, argv, "+:h", kOptions, nullptr)) != -1;) {
        switch (option) {
            case 'r': options.resume = true; break;
            case 'j': options.jobs = parseJobs(optarg != nullptr ? optarg : ""); break;
            case 'f': options.formats = parseFormats(optarg != nullptr ? optarg : ""); break;
            case 's': options.voxelSize = parseVoxelSize(optarg != nullptr ? optarg : ""); break;
            case 'x': options.layout.edges = parseShape(optarg != nullptr ? optarg : ""); break;
            case 't': options.layout.type = parseType(optarg != nullptr ? optarg : ""); break;
            case 'b': options.layout.byteOrder = parseByteOrder(optarg != nullptr ? optarg : ""); break;
            case 'H': options.layout.headerBytes = parseHeaderBytes(optarg != nullptr ? optarg : ""); break;
            case 'L': options.levels = parseLevels(optarg != nullptr ? optarg : ""); break;
            case 'l':
                if (listPath != nullptr) usageError("--list is given twice");
                listPath = optarg;
                break;
            case 'h': printAndExit(std::string("usage: ") + kUsage + kHelp);
            case 'V': version = true; break;
            case ':': usageError(shownName(argv[optind - 1]) + " needs a value");
            default: usageError("unknown option " + shownName(argv[optind - 1]));
        }
    }
    // The volume's bytes must be an offset in a file, and a MAT result one MATLAB loads.
    const RawLayout& layout = options.layout;
    if (layout.headerBytes > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) - volumeBytes({layout.edges, layout.type})) {
        usageError("--header-bytes " + std::to_string(layout.headerBytes) + " and the volume's samples are more bytes than a file can hold");
    }
    const std::uint64_t matBytes = resultFileBytes(Format::mat, layout);
    if (std::find(options.formats.begin(), options.formats.end(), Format::mat) != options.formats.end() && matBytes > kMostMatBytes) {
        failBeforeStart("a MAT result of this shape would be " + std::to_string(matBytes) +
                        " bytes, and MATLAB loads MAT-files below 2 GiB alone: use --format nifti");
    }
    const bool pyramid = std::find(options.formats.begin(), options.formats.end(), Format::zarr) != options.formats.end();
    if (options.levels != 0 && !pyramid) usageError("--levels is for --format zarr");
    if (options.levels > mostLevels(layout)) {
        usageError("--levels " + std::to_string(options.levels) + " would make an edge of the last level 0: this shape has " +
                   std::to_string(mostLevels(layout)) + " at most");
    }
    if (options.levels == 0) options.levels = defaultLevels(layout);
    if (version) printAndExit("quarnel-reduce " QUARNEL_VERSION "\n");
    if (optind >= argc) usageError("no output folder");
    options.outputFolder = argv[optind++];
    if (options.outputFolder.empty()) usageError("the output folder is an empty path");
    if (listPath != nullptr && inputClosed && std::strcmp(listPath, "-") == 0) {
        failBeforeStart("can't read the list - (standard input is closed)");
    }
    if (listPath != nullptr) appendList(listPath, options.volumes);
    options.volumes.insert(options.volumes.end(), argv + optind, argv + argc);
    if (listPath == nullptr && options.volumes.empty()) usageError("no volumes to reduce");
    return options;
}

}  // namespace quarnel::command
