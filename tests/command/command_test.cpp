// quarnel-reduce run as users and schedulers run it: a process of its own, given hostile names,
// killed and stopped at each stage of a volume, starved of disk, and resumed over results that are
// whole, foreign, cut short or stale. After every row, each *.mat in the output folder must be,
// byte for byte, the file that the reference reduction of its input gives, header record included,
// and nothing else may be there but the temporaries that a kill -9 leaves. Each row of the big
// tables is a test of its own, so that CTest runs them side by side; their results go to a tmpfs of
// the row's own where the row is not about the disk.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "volumes.h"

namespace quarnel::testing {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kResultBytes = 67109056;

// --- Inputs and the files they must give ------------------------------------------------------

struct Source {
    std::string path;
    const std::vector<float>* reduced;
};

const std::vector<float>& zeroReduction() {
    static const std::vector<float> zeros(kReducedElements, 0.0f);
    return zeros;
}

// The two volumes of random samples that the build's fixture wrote (command.volumes), so that a
// result saved under the other volume's name shows; the fixture computed their reductions too.
const Source& randomSource(int which) {
    static std::vector<float> reductions[2];
    static const std::vector<Source> sources = [] {
        std::vector<Source> found;
        for (std::size_t i = 0; i < 2; ++i) {
            const std::string name = std::string(QUARNEL_COMMAND_VOLUMES) + "/random" + std::to_string(11 + i);
            reductions[i].resize(kReducedElements);
            std::FILE* file = openFile(name + ".reduced", "rb");
            const bool read = file != nullptr && std::fread(reductions[i].data(), sizeof(float), kReducedElements, file) == kReducedElements;
            if (file != nullptr) std::fclose(file);
            if (!read) throw std::runtime_error("no " + name + ".reduced: CTest's fixture command.volumes writes it");
            found.push_back({name + ".raw", &reductions[i]});
        }
        return found;
    }();
    return sources.at(static_cast<std::size_t>(which));
}

void putUint32(std::string& bytes, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
}

// The result file for `reduced` with the header text given: the layout written out field by field.
std::string resultWithText(const std::string& text, const std::vector<float>& reduced) {
    std::string bytes = text;
    bytes.resize(116, ' ');
    bytes += std::string(8, ' ');
    bytes += std::string("\x00\x01IM", 4);
    for (std::uint32_t word : {14u, 67108920u, 6u, 8u, 7u, 0u, 5u, 12u, 256u, 256u, 256u, 0u, 0x00010001u}) {
        putUint32(bytes, word);
    }
    bytes += std::string("V\0\0\0", 4);
    putUint32(bytes, 7);
    putUint32(bytes, 67108864);
    bytes.append(reinterpret_cast<const char*>(reduced.data()), reduced.size() * sizeof(float));
    return bytes;
}

std::int64_t checkOf(const std::vector<float>& reduced) {
    static std::map<const std::vector<float>*, std::int64_t> checks;
    const auto [known, isNew] = checks.emplace(&reduced, 0);
    for (std::size_t k = 0; isNew && k < reduced.size(); ++k) {
        known->second += static_cast<std::int64_t>(reduced[k]) * static_cast<std::int64_t>(k % 8191 + 1);
    }
    return known->second;
}

struct stat statusOf(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) ADD_FAILURE() << "can't stat " << path;
    return status;
}

// The header text for the input as it is now; `fractionDigits` below 9 cuts the nanoseconds, and
// 0 leaves them out, as a result made in the host records whole seconds.
std::string headerText(const std::string& inputPath, const std::vector<float>& reduced, int fractionDigits = 9,
                       const char* version = QUARNEL_VERSION) {
    const struct stat input = statusOf(inputPath);
    std::string time = std::to_string(input.st_mtim.tv_sec);
    if (fractionDigits > 0) {
        char nanoseconds[16];
        std::snprintf(nanoseconds, sizeof nanoseconds, "%09ld", static_cast<long>(input.st_mtim.tv_nsec));
        time += "." + std::string(nanoseconds, static_cast<std::size_t>(fractionDigits));
    }
    return std::string("MATLAB 5.0 MAT-file, Quarnel ") + version + ", input " + std::to_string(input.st_size) +
           " B " + time + " s, check " + std::to_string(checkOf(reduced));
}

// Made once for each reduction and header text: a row compares many results of the same input.
const std::string& expectedResult(const Source& source) {
    static std::map<std::pair<const std::vector<float>*, std::string>, std::string> made;
    const std::string text = headerText(source.path, *source.reduced);
    std::string& bytes = made[{source.reduced, text}];
    if (bytes.empty()) bytes = resultWithText(text, *source.reduced);
    return bytes;
}

std::string fileBytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    std::string bytes(file ? static_cast<std::size_t>(file.tellg()) : 0, '\0');
    file.seekg(0).read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

void writeFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(file.good()) << "can't write " << path;
}

std::string firstDifference(const std::string& expected, const std::string& actual) {
    if (expected.size() != actual.size()) return std::to_string(actual.size()) + " bytes instead of " + std::to_string(expected.size());
    const auto i = static_cast<std::size_t>(std::mismatch(expected.begin(), expected.end(), actual.begin()).first - expected.begin());
    return i == expected.size() ? "" : "byte " + std::to_string(i) + " differs" + (i < 116 ? ": header text '" + actual.substr(0, 116) + "'" : "");
}

bool isTemporary(const std::string& name) {
    return name.rfind(".quarnel-", 0) == 0 && name.size() > 17 && name.compare(name.size() - 8, 8, ".partial") == 0;
}

bool isResultName(const std::string& name) {
    return name.size() >= 4 && name.compare(name.size() - 4, 4, ".mat") == 0;
}

enum class Temporaries { none, allowed, some };

void expectTemporaries(const std::string& folder, Temporaries temporaries) {
    std::size_t count = 0;
    for (const auto& entry : fs::directory_iterator(folder)) count += isTemporary(entry.path().filename().string()) ? 1 : 0;
    if (temporaries == Temporaries::none) {
        EXPECT_EQ(count, 0u) << "temporaries left in " << folder;
    } else if (temporaries == Temporaries::some) {
        EXPECT_GT(count, 0u) << "the kill came after the write";
    }
}

// Every result in the folder is exactly the one its source gives, every expected one is there, and
// nothing else is, but for temporaries where a killed run may have left them.
void expectFolder(const std::string& folder, const std::map<std::string, Source>& results,
                  Temporaries temporaries = Temporaries::none) {
    std::set<std::string> seen;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (isTemporary(name)) continue;
        const auto expected = results.find(name);
        if (expected == results.end()) {
            ADD_FAILURE() << "unexpected " << (isResultName(name) ? "result " : "file ") << name;
            continue;
        }
        seen.insert(name);
        EXPECT_EQ(firstDifference(expectedResult(expected->second), fileBytes(entry.path().string())), "") << name;
    }
    for (const auto& [name, source] : results) {
        EXPECT_TRUE(seen.count(name) == 1) << "no " << name;
    }
    expectTemporaries(folder, temporaries);
}

// Each file under a folder, by its path there, with its bytes.
std::map<std::string, std::string> treeBytes(const std::string& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (!entry.is_directory()) files[fs::relative(entry.path(), folder).string()] = fileBytes(entry.path().string());
    }
    return files;
}

// As expectFolder, each result judged by what a run with none of the row's faults writes into
// `fresh`, the files of a folder one by one.
void expectFolderLike(const std::string& folder, const std::string& fresh, const std::vector<std::string>& results,
                      Temporaries temporaries) {
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (isTemporary(name)) continue;
        const std::string path = entry.path().string();
        EXPECT_TRUE(entry.is_directory() ? treeBytes(path) == treeBytes(fresh + "/" + name) : fileBytes(path) == fileBytes(fresh + "/" + name))
            << name << " isn't what a run without faults writes";
    }
    for (const std::string& name : results) EXPECT_TRUE(fs::exists(folder + "/" + name)) << "no " << name;
    expectTemporaries(folder, temporaries);
}

// --- Running the command ----------------------------------------------------------------------

struct Ended {
    int status = -1;  // the exit status, or minus the signal that ended it
    std::string out;
    std::string err;
};

// What a watched run waits for, and what is then done to it. `near` is judged on the running
// command, cheaply and without certainty. Once it holds, the command is frozen and every line it
// has written is read, and only then does `there` judge where it really is, from its lines and its
// open files. When that holds, `act` is done to the frozen command (a signal sent, a file touched),
// which is then let go.
struct Watch {
    std::function<bool(pid_t)> near;
    std::function<bool(pid_t, const std::string& out)> there;
    std::function<void(pid_t)> act;
    explicit operator bool() const { return static_cast<bool>(act); }
};

// Where standard output goes: the test's pipe, that pipe closed once a line is read (a reader
// that leaves, as head -n 1 does), /dev/full, or nowhere, also with standard input and error.
enum class Output { pipe, closedAfterALine, full, closed, allClosed };

struct Launch {
    std::vector<std::string> arguments;
    std::string folder;                // where it runs; empty: here
    std::optional<std::string> input;  // its standard input, closed after; none: /dev/null
    bool inputStaysOpen = false;
    std::optional<rlim_t> fileSizeLimit;
    Watch watch;
    Output output = Output::pipe;
    std::optional<rlim_t> addressSpaceLimit{};
};

// Reads all the pipe holds now, without waiting for more; closes it at its end.
void drain(int& descriptor, std::string& into) {
    char chunk[65536];
    ssize_t count = 0;
    while (descriptor >= 0 && (count = read(descriptor, chunk, sizeof chunk)) > 0) {
        into.append(chunk, static_cast<std::size_t>(count));
    }
    if (count == 0) {
        close(descriptor);
        descriptor = -1;
    }
}

// Stops the process and waits until every thread of it has stopped: a thread stops only on its way
// out of the kernel, so that nothing it shows in /proc moves any more and all it has written is in
// the pipes. False when it has ended meanwhile.
bool freeze(pid_t process) {
    if (kill(process, SIGSTOP) != 0) return false;
    const std::string tasks = "/proc/" + std::to_string(process) + "/task";
    for (;;) {
        std::error_code error;
        fs::directory_iterator task(tasks, error);
        bool allStopped = !error;
        for (; !error && task != fs::directory_iterator(); task.increment(error)) {
            std::ifstream stat(task->path() / "stat");
            std::string line;
            std::getline(stat, line);
            const std::size_t end = line.rfind(')');
            const char state = end == std::string::npos || end + 2 >= line.size() ? 'X' : line[end + 2];
            if (state == 'Z' || state == 'X') return false;
            allStopped &= state == 'T' || state == 't';
        }
        if (error) return false;
        if (allStopped) return true;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}

Ended run(const Launch& launch, bool* watchFired = nullptr) {
    int out[2], err[2], in[2];
    if (pipe(out) != 0 || pipe(err) != 0 || pipe(in) != 0) {
        ADD_FAILURE() << "no pipes";
        return {};
    }
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        if (launch.input || launch.inputStaysOpen) {
            dup2(in[0], STDIN_FILENO);
        } else {
            const int nothing = open("/dev/null", O_RDONLY);
            dup2(nothing, STDIN_FILENO);
        }
        for (int descriptor : {out[0], out[1], err[0], err[1], in[0], in[1]}) {
            close(descriptor);
        }
        for (const auto& [resource, limit] : {std::pair(RLIMIT_FSIZE, launch.fileSizeLimit), std::pair(RLIMIT_AS, launch.addressSpaceLimit)}) {
            const rlimit both{limit.value_or(RLIM_INFINITY), limit.value_or(RLIM_INFINITY)};
            if (limit) setrlimit(resource, &both);
        }
        if (launch.output == Output::full) dup2(open("/dev/full", O_WRONLY), STDOUT_FILENO);
        if (launch.output == Output::closed || launch.output == Output::allClosed) close(STDOUT_FILENO);
        if (launch.output == Output::allClosed) close(STDIN_FILENO), close(STDERR_FILENO);
        if (!launch.folder.empty() && chdir(launch.folder.c_str()) != 0) {
            _exit(120);
        }
        std::vector<char*> argv{const_cast<char*>(QUARNEL_REDUCE_PATH)};
        for (const std::string& argument : launch.arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        execv(QUARNEL_REDUCE_PATH, argv.data());
        _exit(121);
    }
    close(out[1]);
    close(err[1]);
    close(in[0]);
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    fcntl(err[0], F_SETFL, O_NONBLOCK);
    if (launch.input) {
        const std::string& bytes = *launch.input;
        EXPECT_EQ(write(in[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    if (!launch.inputStaysOpen) {
        close(in[1]);
    }
    Ended ended;
    bool watching = static_cast<bool>(launch.watch);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
    const auto readBoth = [&] {
        drain(out[0], ended.out);
        if (launch.output == Output::closedAfterALine && out[0] >= 0 && ended.out.find('\n') != std::string::npos) {
            close(out[0]);
            out[0] = -1;
        }
        drain(err[0], ended.err);
    };
    while (out[0] >= 0 || err[0] >= 0) {
        pollfd ready[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
        if (poll(ready, 2, watching ? 0 : 100) > 0) readBoth();
        if (watching && launch.watch.near(child) && freeze(child)) {
            readBoth();
            if (launch.watch.there(child, ended.out)) {
                launch.watch.act(child);
                watching = false;
                if (watchFired != nullptr) *watchFired = true;
            }
            kill(child, SIGCONT);
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "still running after 5 minutes: killed";
            kill(child, SIGKILL);
            break;
        }
    }
    if (launch.inputStaysOpen) {
        close(in[1]);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ended.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    return ended;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> split;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        split.push_back(line);
    }
    return split;
}

std::vector<std::string> failedLines(const std::vector<std::string>& all) {
    std::vector<std::string> failed;
    for (const std::string& line : all) {
        if (line.rfind("failed ", 0) == 0) failed.push_back(line);
    }
    return failed;
}

// The files the process holds open: the name it opened each by, its size and how far it has read.
struct OpenFile {
    std::string path;
    off_t size;
    long long position;
};

std::vector<OpenFile> openFiles(pid_t process) {
    std::vector<OpenFile> files;
    const std::string folder = "/proc/" + std::to_string(process) + "/fd";
    DIR* entries = opendir(folder.c_str());
    if (entries == nullptr) return files;
    while (const dirent* entry = readdir(entries)) {
        char target[4096];
        const std::string link = folder + "/" + entry->d_name;
        const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
        struct stat status {};
        std::ifstream information("/proc/" + std::to_string(process) + "/fdinfo/" + entry->d_name);
        std::string field;
        long long position = -1;
        information >> field >> position;  // "pos:", first
        if (length > 0 && stat(link.c_str(), &status) == 0) {
            files.push_back({std::string(target, static_cast<std::size_t>(length)), status.st_size, position});
        }
    }
    closedir(entries);
    return files;
}

// Reducing a volume, which has read some and has more than 2 MiB still to read, so that its
// results have begun and a stop will be heard at a slice to come; or anywhere at all.
enum class Stage { reducing, anywhere };

// Whether the command is at `stage` of the volume it opened as `volume` (any volume when empty).
bool inStage(pid_t process, const std::string& volume, Stage stage) {
    const auto reducing = [&volume](const OpenFile& file) {
        const std::string name = fs::path(file.path).filename().string();
        const bool isVolume = volume.empty() ? name.size() > 4 && name.compare(name.size() - 4, 4, ".raw") == 0 : name == volume;
        return isVolume && file.position > 0 && file.position <= file.size - (2 << 20);
    };
    const std::vector<OpenFile> files = openFiles(process);
    return stage == Stage::anywhere || std::any_of(files.begin(), files.end(), reducing);
}

std::size_t completeLines(const std::string& out) { return static_cast<std::size_t>(std::count(out.begin(), out.end(), '\n')); }

// Once the command is at `stage` of `volume` and its lines so far pass `linesOut`, does `act`.
Watch at(Stage stage, const std::string& volume, std::function<bool(std::size_t)> linesOut, std::function<void(pid_t)> act) {
    return {[=](pid_t process) { return inStage(process, volume, stage); },
            [=](pid_t process, const std::string& out) { return linesOut(completeLines(out)) && inStage(process, volume, stage); },
            std::move(act)};
}

std::function<bool(std::size_t)> exactly(std::size_t count) {
    return [count](std::size_t out) { return out == count; };
}
const std::function<bool(std::size_t)> anyLines = [](std::size_t) { return true; };

std::function<void(pid_t)> send(int signal) {
    return [signal](pid_t process) { kill(process, signal); };
}

// Once the command has caught its stop signals and sleeps: before any volume, that is waiting for
// its list, which never comes, so that it can't move on before `signal` reaches it.
Watch waitingForItsList(int signal) {
    const auto waiting = [](pid_t process) {
        std::ifstream status("/proc/" + std::to_string(process) + "/status");
        bool catches = false;
        bool sleeps = false;
        for (std::string line; std::getline(status, line);) {
            catches |= line.rfind("SigCgt:", 0) == 0 && (std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1) & 1) != 0;
            sleeps |= line.rfind("State:\tS", 0) == 0;
        }
        return catches && sleeps;
    };
    return {waiting, [](pid_t, const std::string& out) { return out.empty(); }, send(signal)};
}

// --- Where the results go ---------------------------------------------------------------------

std::string freshFolder(const std::string& name) {
    const std::string folder = temporaryPath(name);
    fs::remove_all(folder);
    fs::create_directories(folder);
    return folder;
}

// A link named `name` in `folder` to a source.
std::string linkTo(const std::string& folder, const std::string& name, const Source& source) {
    const std::string path = folder + "/" + name;
    fs::create_symlink(source.path, path);
    return path;
}

// A second name in `folder` for a source's file, so that the command's open files show which of
// the volumes it reads: a hard link, or a copy where the folder lies on another file system.
Source secondName(const std::string& folder, const std::string& name, const Source& source) {
    const std::string path = folder + "/" + name;
    std::error_code error;
    fs::create_hard_link(source.path, path, error);
    if (error) fs::copy_file(source.path, path);
    return {path, source.reduced};
}

// A copy of its own, for a row that changes its input: the fixture's volumes are shared by the
// rows that run beside it.
Source copyOf(const std::string& folder, const std::string& name, const Source& source) {
    const std::string path = folder + "/" + name;
    fs::remove(path);
    fs::copy_file(source.path, path);
    return {path, source.reduced};
}

// Mounts of this process's own, so that a tmpfs can be had as root.
bool ownMounts() {
    static const bool made = unshare(CLONE_NEWNS) == 0 && mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    return made;
}

class TmpFileSystem {
public:
    TmpFileSystem(const std::string& folder, const char* size) : folder_(folder) {
        mounted_ = ownMounts() && mount("tmpfs", folder.c_str(), "tmpfs", 0, (std::string("size=") + size).c_str()) == 0;
    }
    TmpFileSystem(const TmpFileSystem&) = delete;
    TmpFileSystem& operator=(const TmpFileSystem&) = delete;
    ~TmpFileSystem() {
        if (mounted_) umount2(folder_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    bool makeReadOnly() const {
        return mount(nullptr, folder_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }

private:
    std::string folder_;
    bool mounted_ = false;
};

// Where a row's results go: a tmpfs of the row's own where the row is not about the disk, as there
// a result's flush costs nothing (without root, the disk); the disk the tests run on; a tmpfs of
// 100 MiB; a read-only tmpfs.
enum class Disk { memory, disk, small, readOnly };

// Puts `disk` in place at the output folder `out`; false when it can't be had.
bool mountDisk(std::optional<TmpFileSystem>& mounted, const std::string& out, Disk disk) {
    if (disk == Disk::disk) return true;
    const bool made = mounted.emplace(out, disk == Disk::memory ? "2g" : "100m").mounted();
    return disk == Disk::memory || (made && (disk == Disk::small || mounted->makeReadOnly()));
}

// A test of each row of a table, named after its `what`.
template <typename Row>
std::string rowName(const ::testing::TestParamInfo<Row>& info) {
    std::string name = info.param.what;
    std::replace_if(name.begin(), name.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)) == 0; }, '_');
    return name;
}

// The rows a build runs: all, but in the sanitizer build, where a volume takes ten times as long,
// only those named, whose code paths the sanitizers judge beyond what the plain build does.
template <typename Row>
std::vector<Row> rowsOfThisBuild(const std::vector<Row>& rows, const std::set<std::string>& sanitized) {
    std::vector<Row> kept;
    for (const Row& row : rows) {
        if (!QUARNEL_SANITIZED || sanitized.count(row.what) == 1) kept.push_back(row);
    }
    if (QUARNEL_SANITIZED && kept.size() != sanitized.size()) throw std::logic_error("a row named for the sanitizer build is missing");
    return kept;
}

// --- The tables -------------------------------------------------------------------------------

struct NameRow {
    std::string name;
    std::string resultName;
    std::string shown;  // as the line shows it
};

// Names a shell or a format string would take apart, that begin like an option, span lines, are
// no UTF-8 or are as long as a name may be.
const std::vector<NameRow>& hostileNames() {
    static const std::vector<NameRow> rows = {
        {"with  spaces .raw", "with  spaces .mat", "with  spaces .raw"},
        {"it's \"quoted\".raw", "it's \"quoted\".mat", "it's \"quoted\".raw"},
        {"$(touch pwned).raw", "$(touch pwned).mat", "$(touch pwned).raw"},
        {"`touch pwned`;.raw", "`touch pwned`;.mat", "`touch pwned`;.raw"},
        {"100%s%n%d.raw", "100%s%n%d.mat", "100%s%n%d.raw"},
        {"-leading.raw", "-leading.mat", "-leading.raw"},
        {"new\nline.raw", "new\nline.mat", "new\\nline.raw"},
        {"tab\tand\\back.raw", "tab\tand\\back.mat", "tab\\tand\\\\back.raw"},
        {"latin1-\xe9\xe8\xff.raw", "latin1-\xe9\xe8\xff.mat", "latin1-\xe9\xe8\xff.raw"},
        {std::string(246, 'n') + ".raw", std::string(246, 'n') + ".mat", std::string(246, 'n') + ".raw"},
        {"scan.img", "scan.img.mat", "scan.img"},
        {".raw", ".raw.mat", ".raw"},
        {"upper.RAW", "upper.RAW.mat", "upper.RAW"},
        // A C1 control that some terminals obey, the separator of a failed line's reason, and a
        // UTF-8 character whose second byte is that control's.
        {"csi\x9b" "31m: \xc4\x9b.raw", "csi\x9b" "31m: \xc4\x9b.mat", "csi\\x9B31m\\x3A \xc4\x9b.raw"},
    };
    return rows;
}

struct NamesRow {
    const char* what;
    bool fromList;
    Disk disk;
};

void PrintTo(const NamesRow& row, std::ostream* out) { *out << row.what; }

class HostileNames : public ::testing::TestWithParam<NamesRow> {};

TEST_P(HostileNames, GiveOneLineAndOneResultEach) {
    const NamesRow& row = GetParam();
    const std::string inputs = freshFolder("names");
    const std::string outputs = inputs + "/out";
    fs::create_directory(outputs);
    std::optional<TmpFileSystem> mounted;
    ASSERT_TRUE(mountDisk(mounted, outputs, row.disk));
    Launch launch{{"out"}, inputs, std::nullopt, false, std::nullopt, {}};
    std::string list;
    std::string expectedOut;
    std::map<std::string, Source> results;
    for (std::size_t i = 0; i < hostileNames().size(); ++i) {
        const NameRow& name = hostileNames()[i];
        const Source& source = randomSource(static_cast<int>(i % 2));
        linkTo(inputs, name.name, source);
        if (row.fromList) {
            list += name.name + std::string(1, '\0');
        } else {
            launch.arguments.push_back(name.name);
        }
        expectedOut += "ok " + name.shown + "\n";
        results[name.resultName] = source;
    }
    if (row.fromList) {
        launch.arguments = {"--list", "-", "out"};
        launch.input = list;
    }
    const Ended ended = run(launch);
    EXPECT_EQ(ended.status, 0) << ended.err;
    EXPECT_EQ(ended.out, expectedOut);
    EXPECT_EQ(ended.err, "");
    expectFolder(outputs, results);
    EXPECT_FALSE(fs::exists(inputs + "/pwned"));
}

// The sanitizer build reads the names from a list, whose parsing only it can judge.
INSTANTIATE_TEST_SUITE_P(Command, HostileNames,
                         ::testing::ValuesIn(rowsOfThisBuild<NamesRow>({{"as arguments", false, Disk::disk},
                                                                        {"from a list", true, Disk::memory}},
                                                                       {"from a list"})),
                         rowName<NamesRow>);

struct RefusedRow {
    const char* what;
    std::vector<std::string> volumes;
    const char* message;
    std::function<void(const std::string& folder)> prepare{};  // makes out/ with what is in it
};

// Two volumes that would share one NAME.mat, names that give no NAME.mat, and results that would
// replace an input: nothing is done, not even the output folder made, and what it held stays.
TEST(Command, VolumesThatCantEachHaveAResultAreRefusedBeforeAnythingIsDone) {
    const std::vector<RefusedRow> rows = {
        {"one name in two folders", {"a/scan.raw", "b/scan.raw"}, "would both be saved as scan.mat"},
        {"one path twice", {"scan.raw", "other.raw", "scan.raw"}, "would both be saved as scan.mat"},
        {"a trailing slash", {"scan.raw", "sub/scan.raw/"}, "would both be saved as scan.mat"},
        {".raw and no .raw", {"scan.img", "scan.img.raw"}, "would both be saved as scan.img.mat"},
        {"an empty path", {"scan.raw", ""}, "has no file name"},
        {"a dot", {"."}, "has no file name"},
        {"two dots", {"sub/.."}, "has no file name"},
        {"the root", {"/"}, "has no file name"},
        {"an input in the output folder under a result's name", {"b.raw", "out/b.mat"},
         "the result of 'b.raw' would replace the volume 'out/b.mat'",
         [](const std::string& f) { fs::create_directory(f + "/out"), writeFileBytes(f + "/out/b.mat", "an input"); }},
        {"an input that links to a result's name", {"link.raw", "c.raw"}, "the result of 'c.raw' would replace the volume 'link.raw'",
         [](const std::string& f) {
             fs::create_directory(f + "/out"), writeFileBytes(f + "/out/c.mat", "an input");
             fs::create_symlink("out/c.mat", f + "/link.raw");
         }},
    };
    for (const RefusedRow& row : rows) {
        SCOPED_TRACE(row.what);
        const std::string folder = freshFolder("refused");
        if (row.prepare) row.prepare(folder);
        const std::map<std::string, std::string> before = row.prepare ? treeBytes(folder + "/out") : std::map<std::string, std::string>();
        std::vector<std::string> arguments{"out"};
        arguments.insert(arguments.end(), row.volumes.begin(), row.volumes.end());
        const Ended ended = run({arguments, folder, std::nullopt, false, std::nullopt, {}});
        EXPECT_EQ(ended.status, 2);
        EXPECT_EQ(ended.out, "");
        EXPECT_EQ(lines(ended.err).size(), 1u) << ended.err;
        EXPECT_NE(ended.err.find(row.message), std::string::npos) << ended.err;
        EXPECT_EQ(ended.err.rfind("quarnel-reduce: ", 0), 0u) << ended.err;
        EXPECT_EQ(fs::exists(folder + "/out"), static_cast<bool>(row.prepare));
        if (row.prepare) {
            EXPECT_EQ(treeBytes(folder + "/out"), before);
        }
    }
}

struct UsageRow {
    const char* what;
    std::vector<std::string> arguments;
    std::optional<std::string> input;
    int status;
    const char* out;  // the start of standard output
    const char* err;  // a part of standard error
};

TEST(Command, CommandLine) {
    const std::string folder = freshFolder("usage");
    linkTo(folder, "a.raw", randomSource(0));
    linkTo(folder, "b.raw", randomSource(1));
    writeFileBytes(folder + "/plain file", "x");
    std::string longList;
    while (longList.size() <= (64u << 20)) longList += std::string(63, 'x') + '\0';
    writeFileBytes(folder + "/long list", longList);
    const std::vector<UsageRow> rows = {
        {"no arguments", {}, std::nullopt, 2, "", "no output folder"},
        {"no volumes", {"out"}, std::nullopt, 2, "", "no volumes"},
        {"unknown option", {"--fast", "out", "a.raw"}, std::nullopt, 2, "", "unknown option --fast"},
        {"jobs 0", {"--jobs", "0", "out", "a.raw"}, std::nullopt, 2, "", "--jobs"},
        {"jobs 65", {"--jobs=65", "out", "a.raw"}, std::nullopt, 2, "", "--jobs"},
        {"jobs x", {"--jobs", "2x", "out", "a.raw"}, std::nullopt, 2, "", "--jobs"},
        {"jobs without a value", {"--jobs"}, std::nullopt, 2, "", "--jobs needs a value"},
        {"no list file", {"--list", "missing", "out"}, std::nullopt, 2, "", "can't open the list missing"},
        {"an empty list entry", {"--list", "-", "out"}, std::string("a.raw\0\0b.raw", 12), 2, "", "empty entry (entry 2)"},
        {"a list of NULs", {"--list", "/dev/zero", "out"}, std::nullopt, 2, "", "empty entry (entry 1)"},
        {"a list longer than any", {"--list", "long list", "out"}, std::nullopt, 2, "", "longer than any list of volumes"},
        {"an unknown format", {"--format", "mat,tiff", "out", "a.raw"}, std::nullopt, 2, "", "--format takes mat, nifti, zarr"},
        {"a format twice", {"--format", "zarr,nifti,zarr", "out", "a.raw"}, std::nullopt, 2, "", "--format takes mat, nifti, zarr"},
        {"levels without zarr", {"--levels", "2", "out", "a.raw"}, std::nullopt, 2, "", "--levels is for --format zarr"},
        {"no levels", {"--format", "zarr", "--levels", "0", "out", "a.raw"}, std::nullopt, 2, "", "--levels takes"},
        {"a level with an edge of 0", {"--format", "zarr", "--levels", "10", "out", "a.raw"}, std::nullopt, 2, "",
         "--levels 10 would make an edge of the last level 0: this shape has 9 at most"},
        {"two voxel edges", {"--voxel-size", "1,2", "out", "a.raw"}, std::nullopt, 2, "", "--voxel-size takes S or SX,SY,SZ"},
        {"an infinite voxel edge", {"--voxel-size=1,inf,1", "out", "a.raw"}, std::nullopt, 2, "", "--voxel-size takes"},
        {"a voxel edge no float holds", {"--voxel-size", "1,1e39,1", "out", "a.raw"}, std::nullopt, 2, "", "--voxel-size takes"},
        {"a voxel edge below every float", {"--voxel-size", "1e-39", "out", "a.raw"}, std::nullopt, 2, "", "--voxel-size takes"},
        {"one edge", {"--shape", "512", "out", "a.raw"}, std::nullopt, 2, "", "--shape takes X,Y,Z"},
        {"two edges", {"--shape", "512,512", "out", "a.raw"}, std::nullopt, 2, "", "--shape takes X,Y,Z"},
        {"four edges", {"--shape", "2,2,2,2", "out", "a.raw"}, std::nullopt, 2, "", "--shape takes X,Y,Z"},
        {"an edge of 1", {"--shape", "512,1,512", "out", "a.raw"}, std::nullopt, 2, "", "--shape takes X,Y,Z"},
        {"an edge of 0", {"--shape", "0,512,512", "out", "a.raw"}, std::nullopt, 2, "", "--shape takes X,Y,Z"},
        {"an edge over 65535", {"--shape=65536,2,2", "out", "a.raw"}, std::nullopt, 2, "", "--shape takes X,Y,Z"},
        {"an edge with a sign", {"--shape", "+512,512,512", "out", "a.raw"}, std::nullopt, 2, "", "--shape takes X,Y,Z"},
        {"a type not listed", {"--type", "int32", "out", "a.raw"}, std::nullopt, 2, "", "--type takes int16, uint16, uint8 or float32"},
        {"a byte order not listed", {"--byte-order", "native", "out", "a.raw"}, std::nullopt, 2, "", "--byte-order takes little or big"},
        {"negative header bytes", {"--header-bytes", "-1", "out", "a.raw"}, std::nullopt, 2, "", "--header-bytes takes"},
        {"hexadecimal header bytes", {"--header-bytes", "0x10", "out", "a.raw"}, std::nullopt, 2, "", "--header-bytes takes"},
        {"more header bytes than 64 bits hold", {"--header-bytes", "18446744073709551616", "out", "a.raw"}, std::nullopt, 2, "",
         "--header-bytes takes"},
        {"a volume's bytes beyond any file's", {"--header-bytes", "9223372036854775807", "out", "a.raw"}, std::nullopt, 2, "",
         "more bytes than a file can hold"},
        {"a MAT result of 2 GiB", {"--shape", "16384,16384,16", "out", "a.raw"}, std::nullopt, 2, "", "use --format nifti"},
        {"a MAT result of 2 GiB among both", {"--format", "nifti,mat", "--shape", "16384,16384,16", "out", "a.raw"}, std::nullopt, 2, "",
         "use --format nifti"},
        {"a volume shorter than its header and samples", {"--header-bytes", "4096", "short", "a.raw"}, std::nullopt, 1,
         "failed a.raw: Couldn't read 268439552 bytes from file!\n", "Couldn't read 268439552 bytes"},
        {"no parent folder", {"gone/out", "a.raw"}, std::nullopt, 2, "", "can't create the output folder gone/out"},
        {"a file for a folder", {"plain file", "a.raw"}, std::nullopt, 2, "", "can't use the output folder plain file"},
        {"help", {"--help"}, std::nullopt, 0, "usage: quarnel-reduce [--resume] [--jobs N] [--list FILE] [--format F[,F...]]", ""},
        {"version", {"--version"}, std::nullopt, 0, "quarnel-reduce " QUARNEL_VERSION "\n", ""},
        {"an empty list", {"--list", "-", "out"}, std::string(), 0, "", ""},
        {"list then arguments", {"--list=-", "out", "a.raw"}, std::string("b.raw\0", 6), 0, "ok b.raw\nok a.raw\n", ""},
        {"-- before a folder named like an option", {"--", "--out", "a.raw"}, std::nullopt, 0, "ok a.raw\n", ""},
        {"the defaults spelled out", {"--shape", "512,512,512", "--type", "int16", "--byte-order", "little", "--header-bytes", "0", "out",
         "a.raw"}, std::nullopt, 0, "ok a.raw\n", ""},
    };
    for (const UsageRow& row : rows) {
        SCOPED_TRACE(row.what);
        const Ended ended = run({row.arguments, folder, row.input, false, std::nullopt, {}});
        EXPECT_EQ(ended.status, row.status);
        EXPECT_EQ(ended.out.substr(0, std::strlen(row.out)), row.out);
        if (row.status == 0) {
            EXPECT_EQ(ended.err, "");
        } else {
            EXPECT_EQ(lines(ended.err).size(), 1u) << ended.err;
            EXPECT_NE(ended.err.find(row.err), std::string::npos) << ended.err;
        }
    }
    EXPECT_TRUE(fs::is_directory(folder + "/out"));  // made for the empty list too
    expectFolder(folder + "/out", {{"a.mat", randomSource(0)}, {"b.mat", randomSource(1)}});
    expectFolder(folder + "/--out", {{"a.mat", randomSource(0)}});
    expectFolder(folder + "/short", {});
}

// Files that are no volume fail with the module's line and the system's reason, unopened where
// opening could block or never end; the others are reduced all the same, in order, also when two
// are reduced at once.
struct JobsRow {
    const char* what;
    const char* jobs;
};

void PrintTo(const JobsRow& row, std::ostream* out) { *out << row.what; }

class EachVolume : public ::testing::TestWithParam<JobsRow> {};

TEST_P(EachVolume, GetsItsLineInOrder) {
    const std::string folder = freshFolder("inputs");
    const Source zeros{sparseFile("inputs-sparse/long.raw", 268435456 + 4096), &zeroReduction()};
    linkTo(folder, "a.raw", randomSource(0));
    linkTo(folder, "b.raw", randomSource(1));
    linkTo(folder, "long.raw", zeros);
    linkTo(folder, "short.raw", {sparseFile("inputs-sparse/short.raw", 268435455), nullptr});
    // A name whose result's name is too long fails before the volume, short too, is read.
    const std::string longName = std::string(251, 'l') + ".img";
    fs::create_symlink("short.raw", folder + "/" + longName);
    ASSERT_EQ(mkfifo((folder + "/fifo.raw").c_str(), 0666), 0);
    fs::create_directory(folder + "/folder.raw");
    fs::create_symlink("/dev/zero", folder + "/zero.raw");
    fs::create_symlink(folder + "/nowhere", folder + "/dangling.raw");
    const std::vector<std::string> volumes = {"a.raw", "fifo.raw", "b.raw", "folder.raw", "zero.raw", "short.raw",
                                              "dangling.raw", "long.raw", "missing.raw", longName};
    const std::string expectedOut =
        "ok a.raw\n"
        "failed fifo.raw: Couldn't open file! (not a regular file)\n"
        "ok b.raw\n"
        "failed folder.raw: Couldn't open file! (not a regular file)\n"
        "failed zero.raw: Couldn't open file! (not a regular file)\n"
        "failed short.raw: Couldn't read 268435456 bytes from file!\n"
        "failed dangling.raw: Couldn't open file! (No such file or directory)\n"
        "ok long.raw\n"
        "failed missing.raw: Couldn't open file! (No such file or directory)\n"
        "failed " + longName + ": Couldn't write " + longName + ".mat (File name too long)\n";
    const char* jobs = GetParam().jobs;
    const std::string out = "out" + std::string(jobs);
    std::vector<std::string> arguments{"--jobs", jobs, out};
    arguments.insert(arguments.end(), volumes.begin(), volumes.end());
    // A writer waits for the FIFO's first reader: the command must not be one.
    std::atomic<bool> released{false};
    std::atomic<bool> openedByCommand{false};
    std::thread writer([&] {
        const int end = open((folder + "/fifo.raw").c_str(), O_WRONLY);
        openedByCommand = !released;
        close(end);
    });
    const Ended ended = run({arguments, folder, std::nullopt, false, std::nullopt, {}});
    released = true;
    const int reader = open((folder + "/fifo.raw").c_str(), O_RDONLY | O_NONBLOCK);
    writer.join();
    close(reader);
    EXPECT_FALSE(openedByCommand) << "the FIFO was opened";
    EXPECT_EQ(ended.status, 1);
    EXPECT_EQ(ended.out, expectedOut);
    EXPECT_EQ(lines(ended.err), failedLines(lines(expectedOut)));
    expectFolder(folder + "/" + out, {{"a.mat", randomSource(0)}, {"b.mat", randomSource(1)}, {"long.mat", zeros}});
}

// The sanitizer build runs two jobs, which share the run's state.
INSTANTIATE_TEST_SUITE_P(Command, EachVolume,
                         ::testing::ValuesIn(rowsOfThisBuild<JobsRow>({{"one job", "1"}, {"two jobs", "2"}, {"three jobs", "3"}},
                                                                      {"two jobs"})),
                         rowName<JobsRow>);

// A step of a fault row: a run, what may happen to it, and what it must leave.
struct Step {
    std::vector<std::string> arguments;  // the output folder is out
    Watch watch;
    std::optional<rlim_t> fileSizeLimit;
    int status;
    std::optional<std::string> out;        // all of standard output, when it is certain
    std::vector<std::string> results;      // the NAME.mat of v1.raw ... that must be there, right
    Temporaries temporaries = Temporaries::none;
    bool otherResults = false;             // whatever else is there must be right too
    Output output = Output::pipe;
    std::optional<rlim_t> addressSpaceLimit{};
    const char* err = nullptr;             // a part of standard error, which then needn't repeat failed lines
    bool keepsWhatIsThere = false;         // a --resume whose lines are kept for each result there, ok for the rest
};

struct FaultRow {
    const char* what;
    Disk disk;
    std::vector<Step> steps;
    std::function<void(const std::string& folder)> prepare{};  // before the first step, in the run's folder
};

void PrintTo(const FaultRow& row, std::ostream* out) { *out << row.what; }

const std::vector<FaultRow>& faultRows() {
    static const std::vector<std::string> all = {"out", "v1.raw", "v2.raw", "v3.raw", "v4.raw"};
    static const std::vector<std::string> allResults = {"v1.mat", "v2.mat", "v3.mat", "v4.mat"};
    static const std::vector<std::string> resume = {"--resume", "out", "v1.raw", "v2.raw", "v3.raw", "v4.raw"};
    static const std::string resumed = "kept v1.raw\nok v2.raw\nok v3.raw\nok v4.raw\n";
    static const std::vector<std::string> twoJobs = {"--jobs", "2", "out", "v1.raw", "v2.raw", "v3.raw", "v4.raw"};
    constexpr rlim_t kMiB = 1 << 20;
    // v2.raw made a file of the row's own, and given a newer time while the command reads it.
    const auto ownSecondVolume = [](const std::string& f) { copyOf(f, "v2.raw", randomSource(1)); };
    const auto touch = [](pid_t process) {
        const std::string path = "/proc/" + std::to_string(process) + "/cwd/v2.raw";
        const struct stat input = statusOf(path);
        const timespec times[2] = {input.st_atim, {input.st_mtim.tv_sec + 1, input.st_mtim.tv_nsec}};
        utimensat(AT_FDCWD, path.c_str(), times, 0);
    };
    static const std::vector<FaultRow> rows = {
        {"kill -9 while the list is read", Disk::memory,
         {{{"--list", "-", "out"}, waitingForItsList(SIGKILL), std::nullopt, -SIGKILL, "", {}},
          {resume, {}, std::nullopt, 0, "ok v1.raw\nok v2.raw\nok v3.raw\nok v4.raw\n", allResults}}},
        {"kill -9 while the second volume is reduced", Disk::disk,
         {{all, at(Stage::reducing, "v2.raw", exactly(1), send(SIGKILL)), std::nullopt, -SIGKILL, "ok v1.raw\n", {"v1.mat"},
           Temporaries::some},
          {resume, {}, std::nullopt, 0, resumed, allResults}}},
        {"kill -9 once the second line is out", Disk::memory,
         {{all, at(Stage::anywhere, "", [](std::size_t out) { return out >= 2; }, send(SIGKILL)), std::nullopt, -SIGKILL,
           std::nullopt, {"v1.mat", "v2.mat"}, Temporaries::allowed, true},
          {resume, {}, std::nullopt, 0, std::nullopt, allResults, Temporaries::none, false, Output::pipe, std::nullopt, nullptr,
           true}}},
        {"kill -9 with two jobs", Disk::memory,
         {{twoJobs, at(Stage::reducing, "", anyLines, send(SIGKILL)), std::nullopt, -SIGKILL, std::nullopt, {}, Temporaries::some,
           true},
          {{"--resume", "--jobs", "2", "out", "v1.raw", "v2.raw", "v3.raw", "v4.raw"}, {}, std::nullopt, 0, std::nullopt,
           allResults}}},
        {"SIGTERM while the second volume is reduced", Disk::disk,
         {{all, at(Stage::reducing, "v2.raw", anyLines, send(SIGTERM)), std::nullopt, 143, "ok v1.raw\nfailed v2.raw: interrupted\n",
           {"v1.mat"}},
          {resume, {}, std::nullopt, 0, resumed, allResults}}},
        {"SIGINT while the first volume is reduced", Disk::memory,
         {{all, at(Stage::reducing, "v1.raw", anyLines, send(SIGINT)), std::nullopt, 130, "failed v1.raw: interrupted\n", {}}}},
        {"SIGTERM with two jobs", Disk::memory,
         {{twoJobs, at(Stage::reducing, "", anyLines, send(SIGTERM)), std::nullopt, 143, std::nullopt, {}, Temporaries::none, true}}},
        {"a read-only folder, found before any volume is read", Disk::readOnly,
         {{all, {}, std::nullopt, 2, "", {}, Temporaries::none, false, Output::pipe, std::nullopt,
           "can't write in the output folder out (Read-only file system)"}}},
        {"the second volume touched while it is read", Disk::memory,
         {{all, at(Stage::reducing, "v2.raw", anyLines, touch), std::nullopt, 1,
           "ok v1.raw\nfailed v2.raw: the file changed while it was read\nok v3.raw\nok v4.raw\n", {"v1.mat", "v3.mat", "v4.mat"}}},
         ownSecondVolume},
        {"a file size limit, found before any volume is read", Disk::memory,
         {{{"out", "v1.raw", "v2.raw"}, {}, 1 << 24, 2, "", {}, Temporaries::none, false, Output::pipe, std::nullopt,
           "can't write in the output folder out (File too large)"}}},
        {"a full disk, beside a result of an earlier run", Disk::small,
         {{{"out", "v1.raw"}, {}, std::nullopt, 0, "ok v1.raw\n", {"v1.mat"}},
          {{"out", "v1.raw", "v2.raw"}, {}, std::nullopt, 1,
           "failed v1.raw: Couldn't write v1.mat (No space left on device)\n"
           "failed v2.raw: Couldn't write v2.mat (No space left on device)\n",
           {"v1.mat"}},
          {{"--resume", "out", "v1.raw"}, {}, std::nullopt, 0, "kept v1.raw\n", {"v1.mat"}}}},
        {"SIGTERM while a FIFO no one writes to is opened as the list", Disk::memory,
         {{{"--list", "fifo", "out"}, waitingForItsList(SIGTERM), std::nullopt, 143, "", {}}},
         [](const std::string& f) { ASSERT_EQ(mkfifo((f + "/fifo").c_str(), 0666), 0); }},
        {"SIGINT while a silent list is read", Disk::memory,
         {{{"--list", "-", "out"}, waitingForItsList(SIGINT), std::nullopt, 130, "", {}}}},
        {"SIGHUP while the second volume is reduced", Disk::memory,
         {{all, at(Stage::reducing, "v2.raw", anyLines, send(SIGHUP)), std::nullopt, 129, "ok v1.raw\nfailed v2.raw: interrupted\n",
           {"v1.mat"}}}},
        {"a reader that leaves after the first line", Disk::memory,
         {{twoJobs, {}, std::nullopt, 141, std::nullopt, {"v1.mat"}, Temporaries::none, true, Output::closedAfterALine, std::nullopt,
           "(Broken pipe): stopped"}}},
        {"standard output on a full device", Disk::memory,
         {{all, {}, std::nullopt, 1, "", {"v1.mat"}, Temporaries::none, true, Output::full, std::nullopt,
           "(No space left on device): stopped"}}},
        {"standard output closed", Disk::memory,
         {{all, {}, std::nullopt, 2, "", {}, Temporaries::none, false, Output::closed, std::nullopt, "standard output is closed"}}},
        {"standard input, output and error closed", Disk::memory,
         {{all, {}, std::nullopt, 2, "", {}, Temporaries::none, false, Output::allClosed, std::nullopt, ""}}},
        // Pyramids, and all three formats at once: a pyramid is built in a temporary folder.
        {"kill -9 while the second volume is reduced into all three formats", Disk::memory,
         {{{"--format", "mat,nifti,zarr", "out", "v1.raw", "v2.raw", "v3.raw"}, at(Stage::reducing, "v2.raw", exactly(1), send(SIGKILL)),
           std::nullopt, -SIGKILL, "ok v1.raw\n", {"v1.mat", "v1.nii", "v1.ome.zarr"}, Temporaries::some},
          {{"--resume", "--format", "mat,nifti,zarr", "out", "v1.raw", "v2.raw", "v3.raw"}, {}, std::nullopt, 0,
           "kept v1.raw\nok v2.raw\nok v3.raw\n", {"v1.mat", "v1.nii", "v1.ome.zarr", "v2.ome.zarr", "v3.ome.zarr"}}}},
        {"SIGTERM while the second pyramid is made", Disk::disk,
         {{{"--format", "zarr", "out", "v1.raw", "v2.raw", "v3.raw"}, at(Stage::reducing, "v2.raw", anyLines, send(SIGTERM)), std::nullopt,
           143, "ok v1.raw\nfailed v2.raw: interrupted\n", {"v1.ome.zarr"}}}},
        {"a full disk, beside a pyramid of an earlier run", Disk::small,
         {{{"--format", "zarr", "out", "v1.raw"}, {}, std::nullopt, 0, "ok v1.raw\n", {"v1.ome.zarr"}},
          {{"--format", "zarr", "out", "v1.raw", "v2.raw"}, {}, std::nullopt, 1,
           "failed v1.raw: Couldn't write v1.ome.zarr (No space left on device)\n"
           "failed v2.raw: Couldn't write v2.ome.zarr (No space left on device)\n",
           {"v1.ome.zarr"}},
          {{"--resume", "--format", "zarr", "out", "v1.raw"}, {}, std::nullopt, 0, "kept v1.raw\n", {"v1.ome.zarr"}}}},
        // Volumes of 4096 x 4096 x 8, whose worker holds some 80 MiB, under a cap with room for two
        // and for none.
        {"room for two workers' memory, with four jobs", Disk::memory,
         {{{"--jobs", "4", "--shape", "4096,4096,8", "out", "v1.raw", "v2.raw", "v3.raw", "v4.raw"}, {}, std::nullopt, 0,
           "ok v1.raw\nok v2.raw\nok v3.raw\nok v4.raw\n", {}, Temporaries::none, false, Output::pipe, 240 * kMiB},
          {{"--resume", "--jobs", "4", "--shape", "4096,4096,8", "out", "v1.raw", "v2.raw", "v3.raw", "v4.raw"}, {}, std::nullopt, 0,
           "kept v1.raw\nkept v2.raw\nkept v3.raw\nkept v4.raw\n", {}, Temporaries::none, false, Output::pipe, 240 * kMiB}}},
        {"no room for any worker's memory", Disk::memory,
         {{{"--jobs", "2", "--shape", "4096,4096,8", "out", "v1.raw", "v2.raw"}, {}, std::nullopt, 1,
           "failed v1.raw: Couldn't Allocate Memory!\nfailed v2.raw: Couldn't Allocate Memory!\n", {}, Temporaries::none, false,
           Output::pipe, 60 * kMiB}}},
    };
    return rows;
}

class Faults : public ::testing::TestWithParam<FaultRow> {};

// Stopped and killed at each stage of a volume, starved of space, then resumed: each step's
// lines, status and results. v1.raw to v4.raw are second names of the two random volumes, in turn.
TEST_P(Faults, LeaveOnlyWholeResultsAndResumeCompletesThem) {
    const FaultRow& row = GetParam();
    const std::string folder = freshFolder("faults");
    std::map<std::string, Source> inputs;  // by result name
    for (int i = 0; i < 4; ++i) {
        const std::string name = "v" + std::to_string(i + 1);
        inputs[name + ".mat"] = secondName(folder, name + ".raw", randomSource(i % 2));
    }
    const std::string out = folder + "/out";
    fs::create_directory(out);
    if (row.prepare) row.prepare(folder);
    std::optional<TmpFileSystem> mounted;
    ASSERT_TRUE(mountDisk(mounted, out, row.disk)) << "no tmpfs of its own can be mounted: run as root";
    for (std::size_t s = 0; s < row.steps.size(); ++s) {
        SCOPED_TRACE("step " + std::to_string(s + 1));
        const Step& step = row.steps[s];
        if (step.addressSpaceLimit && QUARNEL_SANITIZED) continue;  // the sanitizer's shadow memory needs more
        std::optional<std::string> expectedOut = step.out;
        if (step.keepsWhatIsThere) {
            expectedOut = "";
            for (const auto& [name, input] : inputs) {
                *expectedOut += (fs::exists(out + "/" + name) ? "kept " : "ok ") + fs::path(input.path).filename().string() + "\n";
            }
        }
        bool fired = false;
        const Ended ended = run({step.arguments, folder, std::nullopt, step.arguments[0] == "--list", step.fileSizeLimit,
                                 step.watch, step.output, step.addressSpaceLimit}, &fired);
        EXPECT_TRUE(fired || !step.watch) << "the command ended before the watch saw it where the row needs it";
        EXPECT_EQ(ended.status, step.status) << ended.err;
        if (expectedOut) {
            EXPECT_EQ(ended.out, *expectedOut);
        }
        if (step.err) {
            EXPECT_NE(ended.err.find(step.err), std::string::npos) << ended.err;
        } else {
            EXPECT_EQ(lines(ended.err), failedLines(lines(ended.out)));
        }
        // Results of other formats, or of a row under a cap on its memory, are those of the first
        // step's run without the cap or the watch.
        if (step.addressSpaceLimit || std::find(step.arguments.begin(), step.arguments.end(), "--format") != step.arguments.end()) {
            if (!fs::exists(folder + "/fresh")) {
                std::vector<std::string> fresh = row.steps[0].arguments;
                std::replace(fresh.begin(), fresh.end(), std::string("out"), std::string("fresh"));
                EXPECT_EQ(run({fresh, folder, std::nullopt, false, std::nullopt, {}}).status, 0);
            }
            expectFolderLike(out, folder + "/fresh", step.results, step.temporaries);
            continue;
        }
        std::map<std::string, Source> results;
        for (const std::string& name : step.results) {
            results[name] = inputs.at(name);
        }
        for (const auto& entry : fs::directory_iterator(out)) {
            const std::string name = entry.path().filename().string();
            if (step.otherResults && inputs.count(name) == 1) {
                results[name] = inputs.at(name);
            }
        }
        expectFolder(out, results, step.temporaries);
    }
}

// The sanitizer build: a stop ending the sweep and its writes, failed writes on a full disk, the
// lists waited for, and output that takes no more lines.
INSTANTIATE_TEST_SUITE_P(Command, Faults,
                         ::testing::ValuesIn(rowsOfThisBuild(faultRows(), {"SIGTERM while the second volume is reduced",
                                                                           "a full disk, beside a result of an earlier run",
                                                                           "a full disk, beside a pyramid of an earlier run",
                                                                           "SIGTERM while a FIFO no one writes to is opened as the list",
                                                                           "SIGINT while a silent list is read",
                                                                           "a reader that leaves after the first line",
                                                                           "standard output on a full device"})),
                         rowName<FaultRow>);

struct ResumeRow {
    const char* what;
    // Puts out/a.mat in place for a.raw, a volume of the first random volume's samples.
    std::function<void(const std::string& folder)> prepare;
    const char* out;
    int status;
    bool changesInput = false;  // a.raw is then a copy of its own, else a link
    std::vector<std::string> options{};  // a --format other than mat's, and a voxel size
};

void PrintTo(const ResumeRow& row, std::ostream* out) { *out << row.what; }

// Has the command put its own results for a.raw into `into` in the folder.
void madeByCommand(const std::string& folder, std::vector<std::string> options, const std::string& into = "out") {
    options.insert(options.end(), {into, "a.raw"});
    ASSERT_EQ(run({options, folder, std::nullopt, false, std::nullopt, {}}).status, 0);
}

// Has the command make a.raw's results with `options`, then does `damage` to them.
std::function<void(const std::string&)> made(const std::vector<std::string>& options, std::function<void(const std::string&)> damage = {}) {
    return [options, damage](const std::string& f) {
        madeByCommand(f, options);
        if (damage && !::testing::Test::HasFatalFailure()) damage(f);
    };
}

// Writes `bytes` into the result `name` at `offset`.
std::function<void(const std::string&)> changedAt(std::uintmax_t offset, std::vector<unsigned char> bytes, const std::string& name) {
    return [=](const std::string& f) { writeAt(f + "/out/" + name, offset, bytes); };
}

std::string rightResult(const std::string& folder) {
    return expectedResult({folder + "/a.raw", randomSource(0).reduced});
}

// a.raw's V with the record of a.raw as it is now, its time to `fractionDigits`, by `version`.
std::string withRecord(const std::string& folder, int fractionDigits, const char* version = QUARNEL_VERSION) {
    return resultWithText(headerText(folder + "/a.raw", *randomSource(0).reduced, fractionDigits, version), *randomSource(0).reduced);
}

// Puts what `bytes` makes of the run's folder in place as out/a.mat.
std::function<void(const std::string&)> asResult(std::function<std::string(const std::string&)> bytes) {
    return [bytes](const std::string& f) { writeFileBytes(f + "/out/a.mat", bytes(f)); };
}

void withBytes(const std::string& folder, std::size_t offset, const std::string& bytes) {
    std::string file = rightResult(folder);
    file.replace(offset, bytes.size(), bytes);
    writeFileBytes(folder + "/out/a.mat", file);
}

void setTime(const std::string& path, long seconds, long nanoseconds) {
    const timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// --resume keeps a result only when it is whole, its data agrees with its check, and its record
// names the input as it is now, at the record's own precision; an input that can't be read fails,
// and its result stays.
std::vector<ResumeRow> resumeRows() {
    const std::string octave = QUARNEL_OCTAVE_CLI;
    const std::vector<std::string> nifti = {"--format", "nifti"}, halfMillimetre = {"--format", "nifti", "--voxel-size", "0.5"},
                                   both = {"--format", "mat,nifti"}, zarr = {"--format", "zarr"}, all = {"--format", "mat,nifti,zarr"},
                                   ownLayout = {"--format", "mat,nifti", "--type", "float32", "--shape", "512,512,128"};
    std::vector<ResumeRow> rows = {
        {"its own result", asResult(rightResult), "kept a.raw\n", 0},
        {"a record of whole seconds, as made in the host", asResult([](const std::string& f) { return withRecord(f, 0); }), "kept a.raw\n", 0},
        {"a record of milliseconds by another version", asResult([](const std::string& f) { return withRecord(f, 3, "9.10.11"); }),
         "kept a.raw\n", 0},
        {"a random file", asResult([](const std::string&) { return std::string(kResultBytes, 'r'); }), "ok a.raw\n", 0},
        {"the right V without a record, as Octave's save writes it",
         asResult([](const std::string&) {
             return resultWithText("MATLAB 5.0 MAT-file, written by Octave 7.3.0, 2026-12-09 10:00:00 UTC", *randomSource(0).reduced);
         }),
         "ok a.raw\n", 0},
        {"cut short", asResult([](const std::string& f) { return rightResult(f).substr(0, kResultBytes / 2); }), "ok a.raw\n", 0},
        {"its last MiB zeroed", [](const std::string& f) { withBytes(f, kResultBytes - (1 << 20), std::string(1 << 20, '\0')); },
         "ok a.raw\n", 0},
        {"a -0 for a 0, which leaves the check as it was",
         [](const std::string& f) {
             const std::vector<float>& reduced = *randomSource(0).reduced;
             const auto zero = std::find(reduced.begin(), reduced.end(), 0.0f);
             ASSERT_NE(zero, reduced.end());
             withBytes(f, 192 + 4 * static_cast<std::size_t>(zero - reduced.begin()) + 3, "\x80");
         },
         "ok a.raw\n", 0},
        {"a check that doesn't add up",
         [](const std::string& f) {
             const std::string right = rightResult(f);
             const std::size_t lastDigit = right.find_last_of("0123456789", 115);
             withBytes(f, lastDigit, std::string(1, right[lastDigit] == '7' ? '8' : '7'));
         },
         "ok a.raw\n", 0},
        {"one byte more at the end", asResult([](const std::string& f) { return rightResult(f) + " "; }), "ok a.raw\n", 0},
        {"the input touched since",
         [](const std::string& f) {
             writeFileBytes(f + "/out/a.mat", rightResult(f));
             const struct stat input = statusOf(f + "/a.raw");
             setTime(f + "/a.raw", input.st_mtim.tv_sec, (input.st_mtim.tv_nsec + 1) % 1000000000);
         },
         "ok a.raw\n", 0, true},
        {"the input touched since, within the record's whole second",
         [](const std::string& f) {
             setTime(f + "/a.raw", 1796810400, 100);
             writeFileBytes(f + "/out/a.mat", withRecord(f, 0));
             setTime(f + "/a.raw", 1796810400, 999999999);
         },
         "kept a.raw\n", 0, true},
        {"the input grown since",
         [](const std::string& f) {
             writeFileBytes(f + "/out/a.mat", rightResult(f));
             const struct stat before = statusOf(f + "/a.raw");
             std::ofstream(f + "/a.raw", std::ios::binary | std::ios::app) << 'x';
             setTime(f + "/a.raw", before.st_mtim.tv_sec, before.st_mtim.tv_nsec);
         },
         "ok a.raw\n", 0, true},
        {"an input gone",
         [](const std::string& f) {
             writeFileBytes(f + "/out/a.mat", rightResult(f));
             fs::rename(f + "/a.raw", f + "/a.kept");
         },
         "failed a.raw: Couldn't open file! (No such file or directory)\n", 1},
        {"an input that is a FIFO now",
         [](const std::string& f) {
             writeFileBytes(f + "/out/a.mat", rightResult(f));
             fs::rename(f + "/a.raw", f + "/a.kept");
             ASSERT_EQ(mkfifo((f + "/a.raw").c_str(), 0666), 0);
         },
         "failed a.raw: Couldn't open file! (not a regular file)\n", 1},
        // NIfTI results, pyramids, and several formats: they are compared with what the command writes afresh.
        {"its own NIfTI result", made(nifti), "kept a.raw\n", 0, false, nifti},
        {"a NIfTI result of another voxel size", made({"--format", "nifti", "--voxel-size", "1,1,0.5"}), "ok a.raw\n", 0, false, nifti},
        {"a NIfTI result with an element changed", made(halfMillimetre, changedAt(640 + 4 * 70000, {0x3F}, "a.nii")), "ok a.raw\n", 0, false,
         halfMillimetre},
        {"a NIfTI result whose pixdim alone was changed", made(halfMillimetre, changedAt(83, {0x40}, "a.nii")), "ok a.raw\n", 0, false,
         halfMillimetre},
        {"a NIfTI result of the input touched since",
         made(nifti,
              [](const std::string& f) {
                  const struct stat input = statusOf(f + "/a.raw");
                  setTime(f + "/a.raw", input.st_mtim.tv_sec + 1, input.st_mtim.tv_nsec);
              }),
         "ok a.raw\n", 0, true, nifti},
        {"both formats current", made(both), "kept a.raw\n", 0, false, both},
        {"both formats, the NIfTI result gone", made(both, [](const std::string& f) { fs::remove(f + "/out/a.nii"); }), "ok a.raw\n", 0,
         false, both},
        // Results of other layouts: a MAT result of 511 slices has the very size and header of one of
        // 510, and only its check sum tells them apart.
        {"a result of another sample type", made({"--type", "uint16"}), "ok a.raw\n", 0},
        {"a MAT result of another depth", made({"--shape", "512,512,511"}), "ok a.raw\n", 0, false, {"--shape", "512,512,510"}},
        {"a NIfTI result of another byte order", made({"--format", "nifti", "--byte-order", "big"}), "ok a.raw\n", 0, false, nifti},
        {"both formats of other header bytes", made({"--format", "mat,nifti", "--shape", "512,512,510", "--header-bytes", "2048"}),
         "ok a.raw\n", 0, false, {"--format", "mat,nifti", "--shape", "512,512,510"}},
        {"both formats of its own layout", made(ownLayout), "kept a.raw\n", 0, false, ownLayout},
        // Pyramids: a chunk that is damaged, gone or cut short, a record that names other levels.
        {"its own pyramid", made(zarr), "kept a.raw\n", 0, false, zarr},
        {"a pyramid with a value of a chunk changed to another mean", made(zarr, changedAt(4 * 1000, {0x00, 0x00, 0xE0, 0x40}, "a.ome.zarr/1/1/0/1")),
         "ok a.raw\n", 0, false, zarr},  // 7.0f
        {"a pyramid with a chunk gone", made(zarr, [](const std::string& f) { fs::remove(f + "/out/a.ome.zarr/0/3/2/1"); }), "ok a.raw\n", 0,
         false, zarr},
        {"a pyramid with a chunk cut short", made(zarr, [](const std::string& f) { fs::resize_file(f + "/out/a.ome.zarr/2/0/0/0", 1 << 19); }),
         "ok a.raw\n", 0, false, zarr},
        {"a pyramid of other levels", made({"--format", "zarr", "--levels", "2"}), "ok a.raw\n", 0, false, zarr},
        {"all three formats, the pyramid's record edited",
         made(all,
              [](const std::string& f) {
                  std::string attributes = fileBytes(f + "/out/a.ome.zarr/.zattrs");
                  writeFileBytes(f + "/out/a.ome.zarr/.zattrs", attributes.replace(attributes.find("levels 3"), 8, "levels 4"));
              }),
         "ok a.raw\n", 0, false, all},
    };
    if (!octave.empty()) {
        rows.push_back({"x = 5 saved by Octave",
                        [octave](const std::string& f) {
                            const std::string command = "cd '" + f + "/out' && '" + octave +
                                                        "' --norc --quiet --eval \"x = 5; save('-v6', 'a.mat', 'x')\"";
                            ASSERT_EQ(std::system(command.c_str()), 0);
                        },
                        "ok a.raw\n", 0});
    }
    return rows;
}

class Resume : public ::testing::TestWithParam<ResumeRow> {};

TEST_P(Resume, KeepsOnlyWholeCurrentResults) {
    const ResumeRow& row = GetParam();
    const std::string folder = freshFolder("resume");
    if (row.changesInput) {
        copyOf(folder, "a.raw", randomSource(0));
    } else {
        linkTo(folder, "a.raw", randomSource(0));
    }
    fs::create_directory(folder + "/out");
    std::optional<TmpFileSystem> mounted;
    ASSERT_TRUE(mountDisk(mounted, folder + "/out", Disk::memory));
    row.prepare(folder);
    if (HasFatalFailure()) {
        return;
    }
    const std::map<std::string, std::string> before = treeBytes(folder + "/out");
    std::map<std::string, ino_t> inodes;
    for (const auto& [name, bytes] : before) inodes[name] = statusOf(folder + "/out/" + name).st_ino;
    std::vector<std::string> arguments{"--resume"};
    arguments.insert(arguments.end(), row.options.begin(), row.options.end());
    arguments.insert(arguments.end(), {"out", "a.raw"});
    const Ended ended = run({arguments, folder, std::nullopt, false, std::nullopt, {}});
    EXPECT_EQ(ended.status, row.status);
    EXPECT_EQ(ended.out, row.out);
    // A result kept, or beside a failure, stays as it was; any other is made again, every
    // format of the run anew.
    if (row.status != 0 || std::string(row.out).rfind("kept", 0) == 0) {
        EXPECT_TRUE(treeBytes(folder + "/out") == before) << "a result changed";
    } else if (row.options.empty()) {
        expectFolder(folder + "/out", {{"a.mat", {folder + "/a.raw", randomSource(0).reduced}}});
    } else {
        madeByCommand(folder, row.options, "fresh");
        EXPECT_TRUE(treeBytes(folder + "/out") == treeBytes(folder + "/fresh")) << "the results aren't what a fresh run writes";
        for (const auto& [name, inode] : inodes) EXPECT_NE(statusOf(folder + "/out/" + name).st_ino, inode) << name << " was kept";
    }
}

// The sanitizer build: the records parsed, kept and not, and both formats.
INSTANTIATE_TEST_SUITE_P(Command, Resume,
                         ::testing::ValuesIn(rowsOfThisBuild(resumeRows(), {"its own result", "a record of milliseconds by another version",
                                                                            "a check that doesn't add up", "its own NIfTI result",
                                                                            "both formats, the NIfTI result gone"})),
                         rowName<ResumeRow>);

// A read-only output folder is refused before any volume is read and keeps its results; a later
// run in it removes the temporaries of killed runs, known by their name, size (or a pyramid's
// names) and free lock, and nothing else: not those a live run holds locked, a user's files and
// folders named alike, or its own inputs.
TEST(Command, FoldersOfOthers) {
    const std::string folder = freshFolder("folders");
    linkTo(folder, "v1.raw", randomSource(0));
    linkTo(folder, "v2.raw", randomSource(1));
    const std::string out = folder + "/out";
    fs::create_directory(out);
    {
        const TmpFileSystem small(out, "200m");
        ASSERT_TRUE(small.mounted()) << "no tmpfs of its own can be mounted: run as root";
        EXPECT_EQ(run({{"out", "v1.raw"}, folder, std::nullopt, false, std::nullopt, {}}).status, 0);
        ASSERT_TRUE(small.makeReadOnly());
        const Ended ended = run({{"out", "v1.raw", "v2.raw"}, folder, std::nullopt, false, std::nullopt, {}});
        EXPECT_EQ(ended.status, 2);
        EXPECT_EQ(ended.out, "");
        EXPECT_NE(ended.err.find("can't write in the output folder out (Read-only file system)"), std::string::npos) << ended.err;
        expectFolder(out, {{"v1.mat", randomSource(0)}});
    }

    // Folders hold what a pyramid in the making does, or a file of a user's.
    struct Left {
        std::string name;
        std::uintmax_t size;
        bool locked;
        bool removed;
        const char* folderFile = nullptr;
    };
    const std::vector<Left> left = {
        {".quarnel-AbCd12.partial", kResultBytes, false, true},  // a killed run's
        {".quarnel-XyZ789.partial", kResultBytes, true, false},  // a live run's
        {".quarnel-Notes1.partial", 1000, false, false},         // a user's, named alike
        {".quarnel-Input1.partial", kResultBytes, false, false},  // an input of this run
        {".quarnel-notes.txt", kResultBytes, false, false},
        {".quarnel-Pyr001.partial", 0, false, true, "0/1/2/3"},  // a killed run's pyramid
        {".quarnel-Pyr002.partial", 0, true, false, "0/1/2/3"},  // a live run's
        {".quarnel-Pyr003.partial", 0, false, false, "0/notes.txt"},  // a user's folder, named alike
    };
    std::vector<int> holders;
    for (const Left& file : left) {
        const std::string path = out + "/" + file.name;
        if (file.folderFile != nullptr) {
            fs::create_directories(fs::path(path + "/" + file.folderFile).parent_path());
            writeFileBytes(path + "/.zgroup", "{}");
            writeFileBytes(path + "/" + file.folderFile, "chunk");
        } else {
            writeFileBytes(path, "");
            fs::resize_file(path, file.size);
        }
        if (file.locked) {
            holders.push_back(open(path.c_str(), O_RDONLY));
            ASSERT_EQ(flock(holders.back(), LOCK_EX), 0);
        }
    }
    const Ended ended = run({{"out", "v2.raw", "out/.quarnel-Input1.partial"}, folder, std::nullopt, false, std::nullopt, {}});
    EXPECT_EQ(ended.out, "ok v2.raw\nfailed .quarnel-Input1.partial: Couldn't read 268435456 bytes from file!\n");
    for (const Left& file : left) {
        EXPECT_EQ(fs::exists(out + "/" + file.name), !file.removed) << file.name;
        fs::remove_all(out + "/" + file.name);
    }
    for (const int holder : holders) close(holder);
    expectFolder(out, {{"v2.mat", randomSource(1)}});
}

}  // namespace
}  // namespace quarnel::testing
