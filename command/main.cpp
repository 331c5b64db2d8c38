// quarnel-reduce: reduces raw volumes into NAME.mat files, for scripts and schedulers. Worker
// threads take the volumes in the order given and the main thread prints their lines in that
// order, each as soon as every line before it is out.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "options.h"
#include "result_file.h"
#include "stop.h"
#include "volume.h"
#include "volume_task.h"

namespace quarnel::command {
namespace {

constexpr std::size_t kHugePageBytes = 2 << 20;

// Ends the run before anything is done when a volume has no file name or two volumes would be
// saved as one NAME.mat, whatever their paths look like.
std::vector<VolumeEntry> volumeEntries(const Options& options) {
    std::vector<VolumeEntry> entries;
    std::map<std::string, std::size_t> volumeByResult;
    for (const std::string& path : options.volumes) {
        std::optional<VolumeEntry> entry = volumeEntry(path);
        if (!entry) {
            failBeforeStart("the volume '" + shownName(path) + "' has no file name to name its result after");
        }
        const auto [earlier, isNew] = volumeByResult.emplace(entry->resultName, entries.size());
        if (!isNew) {
            failBeforeStart("'" + shownName(entries[earlier->second].path) + "' and '" + shownName(path) +
                            "' would both be saved as " + shownName(entry->resultName));
        }
        entries.push_back(std::move(*entry));
    }
    return entries;
}

void syncParentFolder(const std::string& folder) {
    const std::size_t end = folder.find_last_not_of('/');
    const std::size_t slash = end == std::string::npos ? std::string::npos : folder.rfind('/', end);
    const std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
    const int descriptor = open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor >= 0) {
        (void)fsync(descriptor);
        close(descriptor);
    }
}

// The output folder, open; made when missing, inside a parent that must exist.
int openOutputFolder(const std::string& path) {
    if (mkdir(path.c_str(), 0777) == 0) {
        syncParentFolder(path);
    } else if (errno != EEXIST) {
        failBeforeStart("can't create the output folder " + shownName(path) + " (" + std::strerror(errno) + ")");
    }
    const int folder = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) {
        failBeforeStart("can't use the output folder " + shownName(path) + " (" + std::strerror(errno) + ")");
    }
    return folder;
}

void writeText(int descriptor, const std::string& text) {
    const char* next = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t written = write(descriptor, next, left);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        next += written;
        left -= static_cast<std::size_t>(written);
    }
}

// "12 of 240 volumes, 1.9 volumes/s, 1:59 left", redrawn in place on a terminal's standard error.
class ProgressLine {
public:
    explicit ProgressLine(std::size_t total)
        : shown_(isatty(STDERR_FILENO) == 1), total_(total), start_(std::chrono::steady_clock::now()) {}

    void draw(std::size_t done) const {
        if (!shown_) {
            return;
        }
        std::string text = "\r\033[K" + std::to_string(done) + " of " + std::to_string(total_) + " volumes";
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        if (done > 0 && seconds > 0) {
            const double rate = static_cast<double>(done) / seconds;
            char figures[64];
            (void)std::snprintf(figures, sizeof figures, ", %.1f volumes/s, %s left", rate,
                          duration(static_cast<double>(total_ - done) / rate).c_str());
            text += figures;
        }
        writeText(STDERR_FILENO, text);
    }

    void clear() const {
        if (shown_) {
            writeText(STDERR_FILENO, "\r\033[K");
        }
    }

private:
    static std::string duration(double seconds) {
        const long long whole = std::llround(seconds);
        char text[32];
        if (whole >= 3600) {
            (void)std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
        } else {
            (void)std::snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
        }
        return text;
    }

    bool shown_;
    std::size_t total_;
    std::chrono::steady_clock::time_point start_;
};

class Run {
public:
    Run(std::vector<VolumeEntry> volumes, Destination destination)
        : volumes_(std::move(volumes)), destination_(destination), outcomes_(volumes_.size()) {}

    // Reduces every volume with `jobs` workers and prints the lines; true when none failed.
    bool reduceAll(unsigned jobs) {
        const std::size_t workerCount = std::min<std::size_t>(jobs, volumes_.size());
        runningWorkers_ = workerCount;
        std::vector<std::thread> workers;
        for (std::size_t i = 0; i < workerCount; ++i) {
            workers.emplace_back([this] { work(); });
        }
        const bool allDone = printInOrder();
        for (std::thread& worker : workers) {
            worker.join();
        }
        return allDone;
    }

private:
    void work() {
        // Each worker keeps one result for all its volumes; the core allocates its own 1 MiB
        // buffer for each volume. The result lies in huge pages where the system gives them:
        // with small pages, faulting in its 16384 pages and missing the TLB across them took as
        // long as the rest of a volume's work on a virtual machine. Aligned so, every tile the
        // kernels write out fills whole cache lines too.
        const std::unique_ptr<float, decltype(&std::free)> result(
            static_cast<float*>(std::aligned_alloc(kHugePageBytes, kOutputElements * sizeof(float))), &std::free);
        if (result != nullptr) {
            (void)madvise(result.get(), kOutputElements * sizeof(float), MADV_HUGEPAGE);
        }
        while (!stopRequested()) {
            const std::size_t index = nextVolume_.fetch_add(1);
            if (index >= volumes_.size() || stopRequested()) {
                break;
            }
            VolumeOutcome outcome = result != nullptr ? reduceVolume(volumes_[index], destination_, result.get())
                                                      : VolumeOutcome{VolumeStatus::failed, "Couldn't Allocate Memory!"};
            const std::lock_guard<std::mutex> lock(mutex_);
            outcomes_[index] = std::move(outcome);
            ++finished_;
            changed_.notify_one();
        }
        const std::lock_guard<std::mutex> lock(mutex_);
        --runningWorkers_;
        changed_.notify_one();
    }

    // Prints each volume's line once every line before it is out. After a stop, the volumes that
    // never started have none. True when every volume was reduced or kept.
    bool printInOrder() {
        const ProgressLine progress(volumes_.size());
        std::unique_lock<std::mutex> lock(mutex_);
        std::size_t printed = 0;
        std::size_t drawnFinished = 0;
        bool allDone = true;
        progress.draw(0);
        while (printed < volumes_.size()) {
            changed_.wait(lock, [&] { return outcomes_[printed] || finished_ != drawnFinished || runningWorkers_ == 0; });
            if (!outcomes_[printed] && runningWorkers_ == 0 && finished_ == drawnFinished) {
                ++printed;  // never started
                continue;
            }
            while (printed < volumes_.size() && outcomes_[printed]) {
                allDone &= printLine(volumes_[printed], *outcomes_[printed], progress);
                ++printed;
            }
            drawnFinished = finished_;
            progress.draw(drawnFinished);
        }
        progress.clear();
        return allDone;
    }

    // The progress line is cleared first: standard output may be the same terminal.
    static bool printLine(const VolumeEntry& volume, const VolumeOutcome& outcome, const ProgressLine& progress) {
        const std::string name = shownName(volume.fileName);
        progress.clear();
        switch (outcome.status) {
            case VolumeStatus::reduced: writeText(STDOUT_FILENO, "ok " + name + "\n"); return true;
            case VolumeStatus::kept: writeText(STDOUT_FILENO, "kept " + name + "\n"); return true;
            case VolumeStatus::failed: break;
        }
        const std::string line = "failed " + name + ": " + outcome.reason + "\n";
        writeText(STDOUT_FILENO, line);
        if (!kErrorsGoToOutput) {
            writeText(STDERR_FILENO, line);
        }
        return false;
    }

    // Where standard error is the very file standard output writes to, as in a Slurm task's log
    // or with 2>&1, a failed line shows once.
    static inline const bool kErrorsGoToOutput = [] {
        struct stat output {};
        struct stat errors {};
        return fstat(STDOUT_FILENO, &output) == 0 && fstat(STDERR_FILENO, &errors) == 0 &&
               output.st_dev == errors.st_dev && output.st_ino == errors.st_ino;
    }();

    const std::vector<VolumeEntry> volumes_;
    const Destination destination_;
    std::atomic<std::size_t> nextVolume_{0};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::optional<VolumeOutcome>> outcomes_;
    std::size_t finished_ = 0;
    std::size_t runningWorkers_ = 0;
};

int runCommand(int argc, char* argv[]) {
    catchStopSignals();
    const Options options = parseCommandLine(argc, argv);
    std::vector<VolumeEntry> volumes = volumeEntries(options);
    const int folder = openOutputFolder(options.outputFolder);
    removeAbandonedTemporaries(folder);
    Run run(std::move(volumes), Destination{folder, options.resume});
    const bool allDone = run.reduceAll(options.jobs);
    close(folder);
    if (stopRequested()) {
        return 128 + stopSignal();
    }
    return allDone ? 0 : 1;
}

}  // namespace
}  // namespace quarnel::command

int main(int argc, char* argv[]) {
    return quarnel::command::runCommand(argc, argv);
}
