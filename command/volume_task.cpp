// The command is the core's host while it reduces a volume. The core reaches its host through
// mexPrintf and mexEvalString alone: the progress lines are dropped (the command draws its own
// progress per volume), and any other text is the line that says why the volume failed. Each
// worker thread reduces its own volume, so what the core printed is kept per thread.
#include "volume_task.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <new>

#include "command_line.h"
#include "host/mex.h"
#include "resample.h"
#include "result_file.h"
#include "stop.h"

namespace quarnel::command {

namespace {

// The first line, without its newline, that the core printed on this thread other than its
// progress lines, and errno as it was then: the system's reason for a read that failed.
struct CoreFailure {
    std::string line;
    int error = 0;
};
thread_local CoreFailure coreFailure;

VolumeOutcome failed(std::string reason) { return VolumeOutcome{VolumeStatus::failed, std::move(reason)}; }

// The module's own line for a file it can't open, with the system's reason after it.
VolumeOutcome cantOpen(const char* reason) { return failed(std::string("Couldn't open file! (") + reason + ")"); }

VolumeOutcome cantWrite(const std::string& file, const char* reason) {
    return failed("Couldn't write " + shownName(file) + " (" + reason + ")");
}

// The core's line, and the system's reason when the stream met a read error.
VolumeOutcome coreFailed(std::string line, std::FILE* stream, int error) {
    if (line == "Couldn't Allocate Buffer Memory!") return VolumeOutcome{VolumeStatus::noMemory, std::move(line)};
    return failed(std::ferror(stream) != 0 && error != 0 ? line + " (" + std::strerror(error) + ")" : line);
}

void closeStream(std::FILE* stream) { (void)std::fclose(stream); }

// What keeps a result from being made in the folder, found before the volume is read: a name too
// long for the file system, or a folder of that name. 0 when nothing does.
int resultNameError(const std::string& file, int folder) {
    struct stat existing {};
    if (fstatat(folder, file.c_str(), &existing, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? 0 : errno;
    return S_ISDIR(existing.st_mode) ? EISDIR : 0;
}

VolumeOutcome reduceOpenVolume(const VolumeEntry& volume, const Destination& destination, float* result, float* chunk) {
    for (const Format format : destination.formats) {
        const std::string name = resultName(volume.name, format);
        if (const int error = resultNameError(name, destination.folder)) return cantWrite(name, std::strerror(error));
    }
    // Anything but a regular file is refused unopened: opening a FIFO could wait for a writer, and
    // reading a device could never end.
    struct stat opened {};
    if (stat(volume.path.c_str(), &opened) != 0) return cantOpen(std::strerror(errno));
    if (!S_ISREG(opened.st_mode)) return cantOpen("not a regular file");
    // The name may have been swapped for a FIFO since: O_NONBLOCK keeps the open from waiting,
    // and the open file is checked again.
    const int descriptor = open(volume.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) return cantOpen(std::strerror(errno));
    const std::unique_ptr<std::FILE, decltype(&closeStream)> input(fdopen(descriptor, "rb"), &closeStream);
    if (input == nullptr || fstat(descriptor, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        const int error = errno;
        if (input == nullptr) close(descriptor);
        return cantOpen(input == nullptr ? std::strerror(error) : "not a regular file");
    }
    const Provenance provenance{static_cast<unsigned long long>(opened.st_size), opened.st_mtim, destination.voxelSize};
    const auto isCurrent = [&](Format format) {
        return resultIsCurrent(format, destination.folder, resultName(volume.name, format), provenance, chunk);
    };
    if (destination.resume && std::all_of(destination.formats.begin(), destination.formats.end(), isCurrent)) {
        return VolumeOutcome{VolumeStatus::kept, ""};
    }
    coreFailure = CoreFailure{};
    if (!quarnel::volumeIsComplete(input.get())) {
        const std::string shortLine = quarnel::kShortVolumeMessage;
        return coreFailed(shortLine.substr(0, shortLine.find('\n')), input.get(), errno);
    }
    resampleVolume(input.get(), result, true);
    if (!coreFailure.line.empty()) return coreFailed(std::move(coreFailure.line), input.get(), coreFailure.error);
    // A file written while it was read gives a mix of old and new samples.
    struct stat after {};
    if (fstat(descriptor, &after) != 0 || after.st_size != opened.st_size || after.st_mtim.tv_sec != opened.st_mtim.tv_sec ||
        after.st_mtim.tv_nsec != opened.st_mtim.tv_nsec) {
        return failed("the file changed while it was read");
    }
    // Each format from the one sweep, all written again, as one that is stale or gone makes all
    // suspect. A second format is written on a thread of its own meanwhile: copying a result into
    // the page cache and syncing it cost more than the sweep, and a second core and the disk's
    // queue can take them. Only the NIfTI writer, the second, uses the chunk.
    const auto write = [&](Format format) {
        const std::string name = resultName(volume.name, format);
        const std::string failure = writeResult(format, destination.folderPath, destination.folder, name, result, provenance, chunk);
        return failure.empty() ? VolumeOutcome{VolumeStatus::reduced, ""} : cantWrite(name, failure.c_str());
    };
    std::future<VolumeOutcome> second;
    if (destination.formats.size() == 2) {
        try {
            second = std::async(std::launch::async, write, destination.formats[1]);
        } catch (const std::system_error&) {  // no thread to be had: one after the other
        }
    }
    VolumeOutcome outcome = write(destination.formats[0]);
    if (destination.formats.size() == 2) {
        VolumeOutcome secondOutcome = second.valid() ? second.get() : write(destination.formats[1]);
        if (outcome.status == VolumeStatus::reduced) outcome = std::move(secondOutcome);
    }
    return outcome;
}

}  // namespace

std::optional<VolumeEntry> volumeEntry(const std::string& path) {
    const std::size_t end = path.find_last_not_of('/');
    if (end == std::string::npos) return std::nullopt;
    const std::size_t start = path.rfind('/', end) + 1;  // 0 when there is no slash
    const std::string fileName = path.substr(start, end + 1 - start);
    if (fileName == "." || fileName == "..") return std::nullopt;
    // NAME.raw gives NAME; any other name, ".raw" alone included, keeps its whole self.
    const bool endsInRaw = fileName.size() > 4 && fileName.compare(fileName.size() - 4, 4, ".raw") == 0;
    return VolumeEntry{path, shownName(fileName), fileName.substr(0, fileName.size() - (endsInRaw ? 4 : 0))};
}

VolumeOutcome reduceVolume(const VolumeEntry& volume, const Destination& destination, float* result, float* chunk) {
    try {
        return reduceOpenVolume(volume, destination, result, chunk);
    } catch (const VolumeInterrupted&) {
        return failed("interrupted");
    } catch (const std::bad_alloc&) {
        return VolumeOutcome{VolumeStatus::noMemory, {}};
    }
}

}  // namespace quarnel::command

extern "C" int mexPrintf(const char* format, ...) {
    // A progress line is known by its format: it is dropped before it is formatted, 256 times a
    // volume.
    constexpr const char* kProgressPrefix = "Resample Progress";
    if (std::strncmp(format, kProgressPrefix, std::strlen(kProgressPrefix)) == 0) return 0;
    const int errnoOnEntry = errno;
    std::va_list arguments;
    va_start(arguments, format);
    char* formatted = nullptr;
    const int length = vasprintf(&formatted, format, arguments);
    va_end(arguments);
    const std::unique_ptr<char, decltype(&std::free)> text(length < 0 ? nullptr : formatted, &std::free);
    quarnel::command::CoreFailure& failure = quarnel::command::coreFailure;
    if (text != nullptr && failure.line.empty()) {
        failure.line.assign(text.get(), std::strcspn(text.get(), "\n"));
        failure.error = errnoOnEntry;
    }
    return length;
}

// Called before every slice pair, where a host redraws and so where it can interrupt a call. A
// stop ends the volume here, within one pair of its request.
extern "C" int mexEvalString(const char* /*command*/) {
    if (quarnel::command::stopRequested()) throw quarnel::command::VolumeInterrupted{};
    return 0;
}
