// quarnel-reduce: reduces raw volumes into NAME.mat and NAME.nii files, for scripts and schedulers. Worker
// threads take the volumes in the order given and the main thread prints their lines in that
// order, each as soon as every line before it is out.
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

#include "command_line.h"
#include "durable_write.h"
#include "pyramid.h"
#include "result_file.h"
#include "stop.h"
#include "volume_task.h"

namespace quarnel::command {
namespace {

// Closed standard descriptors are opened on /dev/null, so that no file the command opens takes
// one of their numbers and receives its lines. Returns a bit for each that was closed.
unsigned openClosedStandardDescriptors() {
    unsigned closed = 0;
    for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; ++descriptor) {
        if (fcntl(descriptor, F_GETFD) >= 0) continue;
        closed |= 1u << descriptor;
        if (open("/dev/null", O_RDWR) != descriptor) std::_Exit(2);
    }
    return closed;
}

// Ends the run before anything is done when a volume has no file name or two volumes would be
// saved as one NAME.mat, whatever their paths look like.
std::vector<VolumeEntry> volumeEntries(const Options& options) {
    std::vector<VolumeEntry> entries;
    std::map<std::string, std::size_t> volumeByResult;
    for (const std::string& path : options.volumes) {
        std::optional<VolumeEntry> entry = volumeEntry(path);
        if (!entry) failBeforeStart("the volume '" + shownName(path) + "' has no file name to name its result after");
        const auto [earlier, isNew] = volumeByResult.emplace(entry->name, entries.size());
        if (!isNew) {
            failBeforeStart("'" + shownName(entries[earlier->second].path) + "' and '" + shownName(path) +
                            "' would both be saved as " + shownName(resultName(entry->name, options.formats[0])));
        }
        entries.push_back(std::move(*entry));
    }
    return entries;
}

// The output folder, open; made when missing, inside a parent that must exist, which is synced
// so that the new folder survives a crash.
int openOutputFolder(const std::string& path) {
    int folder = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0 && errno == ENOENT) {
        if (mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) {
            failBeforeStart("can't create the output folder " + shownName(path), errno);
        }
        const Descriptor parent(open((path + "/..").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        (void)fsync(parent.value);
        folder = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    if (folder < 0) failBeforeStart("can't use the output folder " + shownName(path), errno);
    return folder;
}

// The inputs as the system knows them, each as named and as its links lead, sorted. Ends the run
// before anything is done when a result would be renamed over an input: when a result's name in
// the output folder is an input's own name, or a link to it.
std::vector<FileIdentity> inputIdentities(const std::vector<VolumeEntry>& volumes, const Destination& destination) {
    std::vector<std::pair<FileIdentity, std::size_t>> inputs;
    for (std::size_t i = 0; i < volumes.size(); ++i) {
        struct stat status {};
        if (lstat(volumes[i].path.c_str(), &status) == 0) inputs.emplace_back(identityOf(status), i);
        if (stat(volumes[i].path.c_str(), &status) == 0) inputs.emplace_back(identityOf(status), i);
    }
    std::sort(inputs.begin(), inputs.end());
    for (const VolumeEntry& volume : volumes) {
        for (const Format format : destination.formats) {
            struct stat result {};
            if (fstatat(destination.folder, resultName(volume.name, format).c_str(), &result, AT_SYMLINK_NOFOLLOW) != 0) continue;
            const auto input = std::lower_bound(inputs.begin(), inputs.end(), std::pair(identityOf(result), std::size_t{0}));
            if (input != inputs.end() && input->first == identityOf(result)) {
                failBeforeStart("the result of '" + shownName(volume.path) + "' would replace the volume '" +
                                shownName(volumes[input->second].path) + "'");
            }
        }
    }
    std::vector<FileIdentity> identities(inputs.size());
    std::transform(inputs.begin(), inputs.end(), identities.begin(), [](const auto& input) { return input.first; });
    return identities;
}

// Writes the pieces; false with errno set when the descriptor can't take them. Once a stop is asked
// for it waits half a second at most: a reader that has stopped reading can't keep a stopped run
// alive. It allocates nothing, so that a line is printed when memory has run out too.
bool writeLine(int descriptor, std::initializer_list<std::string_view> pieces) {
    for (std::string_view text : pieces) {
        while (!text.empty()) {
            const bool stopping = stopRequested();
            pollfd ready[2] = {{descriptor, POLLOUT, 0}, {stopDescriptor(), POLLIN, 0}};
            const int count = poll(ready, stopping ? 1 : 2, stopping ? 500 : -1);
            if (count == 0) {
                errno = ETIMEDOUT;
                return false;
            }
            const ssize_t written = count < 0 || ready[0].revents == 0 ? 0 : write(descriptor, text.data(), text.size());
            if (written < 0 && errno != EINTR && errno != EAGAIN) return false;
            text.remove_prefix(static_cast<std::size_t>(std::max<ssize_t>(written, 0)));
        }
    }
    return true;
}

// Shows the progress line's text on a terminal's standard error when it takes it at once, so that
// a terminal held by flow control holds up no line.
void showProgress(const char* text) {
    static const bool shown = isatty(STDERR_FILENO) == 1;
    pollfd ready{STDERR_FILENO, POLLOUT, 0};
    if (shown && poll(&ready, 1, 0) == 1) (void)!write(STDERR_FILENO, text, std::strlen(text));
}

void clearProgress() { showProgress("\r\033[K"); }

// "12 of 240 volumes, 1.9 volumes/s, 1:59 left", redrawn in place.
void drawProgress(std::size_t done, std::size_t total, std::chrono::steady_clock::time_point start) {
    char text[160];
    const int length = std::snprintf(text, sizeof text, "\r\033[K%zu of %zu volumes", done, total);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double rate = static_cast<double>(done) / seconds;
    const long long left = done == 0 ? 0 : std::llround(static_cast<double>(total - done) / rate);
    const auto room = sizeof text - static_cast<std::size_t>(length);
    if (done > 0 && left < 3600) {
        (void)std::snprintf(text + length, room, ", %.1f volumes/s, %lld:%02lld left", rate, left / 60, left % 60);
    } else if (done > 0) {
        (void)std::snprintf(text + length, room, ", %.1f volumes/s, %lld:%02lld:%02lld left", rate, left / 3600,
                            left / 60 % 60, left % 60);
    }
    showProgress(text);
}

// Where standard error is the very file standard output writes to, as in a Slurm task's log or
// with 2>&1, a failed line shows once.
bool errorsGoToOutput() {
    struct stat output {};
    struct stat errors {};
    return fstat(STDOUT_FILENO, &output) == 0 && fstat(STDERR_FILENO, &errors) == 0 && identityOf(output) == identityOf(errors);
}

// The progress line is cleared first: standard output may be the same terminal. False when
// standard output takes no more lines, which stops the run.
bool printLine(const VolumeEntry& volume, const VolumeOutcome& outcome) {
    static const bool errorsAreOutput = errorsGoToOutput();
    clearProgress();
    const bool failed = outcome.status != VolumeStatus::reduced && outcome.status != VolumeStatus::kept;
    const std::string_view word = outcome.status == VolumeStatus::reduced ? "ok " : failed ? "failed " : "kept ";
    std::string_view reason = outcome.reason;
    if (failed && reason.empty()) reason = "Couldn't Allocate Memory!";
    if (!writeLine(STDOUT_FILENO, {word, volume.shownFileName, failed ? ": " : "", reason, "\n"})) {
        if (stopRequested()) return false;
        const int error = errno;
        requestStop(error == EPIPE ? 141 : 1);
        (void)writeLine(STDERR_FILENO, {"quarnel-reduce: standard output takes no more lines (", std::strerror(error), "): stopped\n"});
        return false;
    }
    if (failed && !errorsAreOutput) (void)writeLine(STDERR_FILENO, {word, volume.shownFileName, ": ", reason, "\n"});
    return true;
}

class Run {
public:
    Run(const std::vector<VolumeEntry>& volumes, Destination destination)
        : volumes_(volumes), destination_(std::move(destination)), outcomes_(volumes.size()) {}

    // Reduces every volume with up to `jobs` workers and prints the lines; the exit status.
    int reduceAll(unsigned jobs) {
        std::vector<std::thread> workers;
        workers.reserve(jobs);
        returned_.reserve(jobs);
        {
            // Held while the workers start, so that each counts the others before it takes a volume.
            const std::lock_guard<std::mutex> lock(mutex_);
            try {
                while (workers.size() < std::min<std::size_t>(jobs, volumes_.size())) workers.emplace_back(&Run::work, this);
            } catch (const std::exception& failure) {
                if (workers.empty()) failBeforeStart(std::string("can't start a worker (") + failure.what() + ")");
            }
            liveWorkers_ = workers.size();
        }
        const bool allDone = printInOrder();
        for (std::thread& worker : workers) worker.join();
        return stopRequested() ? stopStatus() : allDone ? 0 : 1;
    }

private:
    // Each volume has the memory it reduces through for itself. A worker that can't have it leaves
    // its volumes to the others, but the last one: that one fails each volume it can't run.
    void work() {
        while (const std::optional<std::size_t> index = take()) {
            VolumeOutcome outcome = reduceVolume(volumes_[*index], destination_);
            if (outcome.status == VolumeStatus::noMemory && leaveToOthers(*index)) return;
            const std::lock_guard<std::mutex> lock(mutex_);
            outcomes_[*index] = std::move(outcome);
            changed_.notify_all();
        }
    }

    // The next volume, or none once all are taken or a stop was asked for: the worker then ends.
    std::optional<std::size_t> take() {
        const std::lock_guard<std::mutex> lock(mutex_);
        std::optional<std::size_t> index;
        if (!stopRequested() && !returned_.empty()) {
            index = returned_.back();
            returned_.pop_back();
        } else if (!stopRequested() && nextVolume_ < volumes_.size()) {
            index = nextVolume_++;
        } else {
            --liveWorkers_;
            changed_.notify_all();
        }
        return index;
    }

    // True when another worker will take this one's volume, which it is then given.
    bool leaveToOthers(std::size_t index) {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (liveWorkers_ <= 1) return false;
        --liveWorkers_;
        returned_.push_back(index);
        changed_.notify_all();
        return true;
    }

    // Prints each volume's line once every line before it is out; after a stop, the volumes that
    // never started have none. True when every volume was reduced or kept.
    bool printInOrder() {
        const auto start = std::chrono::steady_clock::now();
        bool allDone = true;
        bool printing = true;
        std::size_t done = 0;
        std::unique_lock<std::mutex> lock(mutex_);
        for (std::size_t next = 0; next < volumes_.size(); ++next) {
            drawProgress(done, volumes_.size(), start);
            changed_.wait(lock, [&] { return outcomes_[next] || liveWorkers_ == 0; });
            if (!outcomes_[next]) continue;
            // Set once and for all: read without the lock while its line is written.
            const VolumeOutcome& outcome = *outcomes_[next];
            lock.unlock();
            allDone &= outcome.status == VolumeStatus::reduced || outcome.status == VolumeStatus::kept;
            printing = printing && printLine(volumes_[next], outcome);
            ++done;
            lock.lock();
        }
        clearProgress();
        return allDone;
    }

    const std::vector<VolumeEntry>& volumes_;
    const Destination destination_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t liveWorkers_ = 0;        // the workers that will still take a volume
    std::size_t nextVolume_ = 0;
    std::vector<std::size_t> returned_;  // volumes left by workers without memory
    std::vector<std::optional<VolumeOutcome>> outcomes_;
};

int runCommand(int argc, char* argv[]) {
    const unsigned closed = openClosedStandardDescriptors();
    // One heap for all threads: each thread's own would reserve 64 MiB of address space, which
    // under a cap on it leaves no room for the workers' results.
    (void)mallopt(M_ARENA_MAX, 1);
    if (!catchStopSignals()) failBeforeStart("can't watch for stop signals", errno);
    if ((closed & (1u << STDOUT_FILENO)) != 0) failBeforeStart("standard output is closed: the volumes' lines would be lost");
    const Options options = parseCommandLine(argc, argv, (closed & (1u << STDIN_FILENO)) != 0);
    const std::vector<VolumeEntry> volumes = volumeEntries(options);
    const Destination destination{options.outputFolder, openOutputFolder(options.outputFolder), options.resume, options.formats,
                                  options.voxelSize, options.layout, options.levels};
    const std::vector<FileIdentity> inputs = inputIdentities(volumes, destination);
    // A folder that can't take a result is found now, not once the first volume has been read: a
    // temporary of its largest file, and a temporary folder for a pyramid.
    std::vector<off_t> sizes;
    off_t largest = 0;
    for (const Format format : {Format::mat, Format::nifti}) {
        sizes.push_back(static_cast<off_t>(resultFileBytes(format, options.layout)));
        if (std::find(options.formats.begin(), options.formats.end(), format) != options.formats.end()) largest = std::max(largest, sizes.back());
    }
    int probeError = largest == 0 || Temporary(destination.folderPath, destination.folder).create(largest) ? 0 : errno;
    if (probeError == 0 && std::find(options.formats.begin(), options.formats.end(), Format::zarr) != options.formats.end()) {
        const std::vector<char> chunk(largestChunkBytes(options.layout));
        TemporaryFolder probe(destination.folderPath, destination.folder);
        probeError = probe.create() && probe.write("0", chunk.data(), chunk.size()) ? 0 : errno;
    }
    if (probeError != 0) failBeforeStart("can't write in the output folder " + shownName(options.outputFolder), probeError);
    removeAbandonedTemporaries(destination.folder, sizes, inputs);
    return Run(volumes, destination).reduceAll(options.jobs);
}

}  // namespace
}  // namespace quarnel::command

int main(int argc, char* argv[]) {
    try {
        return quarnel::command::runCommand(argc, argv);
    } catch (const std::bad_alloc&) {
        // Only the start allocates on this thread, before any volume is tried.
        constexpr char kLine[] = "quarnel-reduce: out of memory\n";
        (void)!write(STDERR_FILENO, kLine, sizeof kLine - 1);
        return 2;
    }
}
