#include "volume_task.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "host.h"
#include "options.h"
#include "resample.h"
#include "result_file.h"

namespace quarnel::command {

namespace {

// The module's own line for a file it can't open, with the system's reason after it.
constexpr const char* kCantOpen = "Couldn't open file!";

VolumeOutcome failed(std::string reason) {
    return VolumeOutcome{VolumeStatus::failed, std::move(reason)};
}

VolumeOutcome cantOpen(const std::string& reason) {
    return failed(std::string(kCantOpen) + " (" + reason + ")");
}

// The line without its newline, and the system's reason when the stream met a read error.
VolumeOutcome failedWithCoreLine(const std::string& line, std::FILE* stream, int error) {
    if (std::ferror(stream) != 0 && error != 0) {
        return failed(line + " (" + std::strerror(error) + ")");
    }
    return failed(line);
}

void closeStream(std::FILE* stream) {
    (void)std::fclose(stream);
}

using Stream = std::unique_ptr<std::FILE, decltype(&closeStream)>;

bool sameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

VolumeOutcome reduceOpenVolume(const VolumeEntry& volume, const Destination& destination, float* result) {
    // Anything but a regular file is refused unopened: opening a FIFO could wait for a writer, and
    // reading a device could never end.
    struct stat named {};
    if (stat(volume.path.c_str(), &named) != 0) {
        return cantOpen(std::strerror(errno));
    }
    if (!S_ISREG(named.st_mode)) {
        return cantOpen("not a regular file");
    }
    // The name may have been swapped for a FIFO since: O_NONBLOCK keeps the open from waiting,
    // and the open file is checked again.
    const int descriptor = open(volume.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        return cantOpen(std::strerror(errno));
    }
    struct stat opened {};
    if (fstat(descriptor, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        close(descriptor);
        return cantOpen("not a regular file");
    }
    const Stream input(fdopen(descriptor, "rb"), &closeStream);
    if (input == nullptr) {
        const int error = errno;
        close(descriptor);
        return cantOpen(std::strerror(error));
    }
    const InputRecord record = recordOf(opened);
    if (destination.resume && resultIsCurrent(destination.folder, volume.resultName, record)) {
        return VolumeOutcome{VolumeStatus::kept, ""};
    }

    startCoreTranscript();
    if (!quarnel::volumeIsComplete(input.get())) {
        const std::string shortLine = quarnel::kShortVolumeMessage;
        return failedWithCoreLine(shortLine.substr(0, shortLine.find('\n')), input.get(), errno);
    }
    resampleVolume(input.get(), result, true);
    const std::string line = coreFailureLine();
    if (!line.empty()) {
        return failedWithCoreLine(line, input.get(), errnoAtCoreFailure());
    }
    // A file written while it was read gives a mix of old and new samples.
    struct stat after {};
    if (fstat(descriptor, &after) != 0 || static_cast<std::uintmax_t>(after.st_size) != record.size ||
        !sameTime(after.st_mtim, record.modified)) {
        return failed("the file changed while it was read");
    }
    const std::string writeFailure = writeResult(destination.folder, volume.resultName, result, record);
    if (!writeFailure.empty()) {
        return failed("Couldn't write " + shownName(volume.resultName) + " (" + writeFailure + ")");
    }
    return VolumeOutcome{VolumeStatus::reduced, ""};
}

}  // namespace

std::optional<VolumeEntry> volumeEntry(const std::string& path) {
    const std::size_t end = path.find_last_not_of('/');
    if (end == std::string::npos) {
        return std::nullopt;
    }
    const std::size_t slash = path.rfind('/', end);
    const std::size_t start = slash == std::string::npos ? 0 : slash + 1;
    std::string fileName = path.substr(start, end + 1 - start);
    if (fileName == "." || fileName == "..") {
        return std::nullopt;
    }
    // NAME.raw gives NAME.mat; any other name, ".raw" alone included, keeps its whole self.
    const std::string raw = ".raw";
    const bool endsInRaw = fileName.size() > raw.size() && fileName.compare(fileName.size() - raw.size(), raw.size(), raw) == 0;
    std::string resultName = (endsInRaw ? fileName.substr(0, fileName.size() - raw.size()) : fileName) + ".mat";
    return VolumeEntry{path, std::move(fileName), std::move(resultName)};
}

VolumeOutcome reduceVolume(const VolumeEntry& volume, const Destination& destination, float* result) {
    try {
        return reduceOpenVolume(volume, destination, result);
    } catch (const VolumeInterrupted&) {
        return failed("interrupted");
    }
}

}  // namespace quarnel::command
