// One volume, through the core's sweep: each slice of its reduction goes into every result as it
// is made, so that a worker holds one input slice and a slice or a chunk of each result, whatever
// the volume's depth.
#include "volume_task.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "command_line.h"
#include "pyramid.h"
#include "result_file.h"
#include "stop.h"
#include "sweep.h"

namespace quarnel::command {

namespace {

VolumeOutcome failed(std::string reason) { return VolumeOutcome{VolumeStatus::failed, std::move(reason)}; }

// The module's own line for a file it can't open, with the system's reason after it.
VolumeOutcome cantOpen(const char* reason) { return failed(std::string("Couldn't open file! (") + reason + ")"); }

VolumeOutcome cantWrite(const std::string& file, const char* reason) {
    return failed("Couldn't write " + shownName(file) + " (" + reason + ")");
}

// The module's line for a file that can't deliver the whole volume, with its header; the
// system's reason follows where the stream met a read error.
VolumeOutcome cantRead(const RawLayout& layout, std::FILE* stream) {
    const std::string line = "Couldn't read " + std::to_string(volumeBytes(layout)) + " bytes from file!";
    return failed(stream != nullptr && std::ferror(stream) != 0 ? line + " (" + std::strerror(errno) + ")" : line);
}

void closeStream(std::FILE* stream) { (void)std::fclose(stream); }

// What keeps a result from being made in the folder, found before the volume is read: a name too
// long for the file system, or a folder of that name where the result is a file. 0 when nothing
// does.
int resultNameError(const std::string& file, Format format, int folder) {
    struct stat existing {};
    if (fstatat(folder, file.c_str(), &existing, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? 0 : errno;
    return S_ISDIR(existing.st_mode) && format != Format::zarr ? EISDIR : 0;
}

VolumeOutcome reduceOpenVolume(const VolumeEntry& volume, const Destination& destination) {
    for (const Format format : destination.formats) {
        const std::string name = resultName(volume.name, format);
        if (const int error = resultNameError(name, format, destination.folder)) return cantWrite(name, std::strerror(error));
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
    const RawLayout& layout = destination.layout;
    const Provenance provenance{static_cast<unsigned long long>(opened.st_size), opened.st_mtim, destination.voxelSize, layout};
    const auto isCurrent = [&](Format format) {
        const std::string name = resultName(volume.name, format);
        return format == Format::zarr ? pyramidIsCurrent(destination.folder, name, provenance, destination.levels)
                                      : resultIsCurrent(format, destination.folder, name, provenance);
    };
    if (destination.resume && std::all_of(destination.formats.begin(), destination.formats.end(), isCurrent)) {
        return VolumeOutcome{VolumeStatus::kept, ""};
    }
    if (static_cast<std::uint64_t>(opened.st_size) < volumeBytes(layout)) return cantRead(layout, nullptr);
    // Each format from the one sweep, all written again, as one that is stale or gone makes all
    // suspect. A file result takes level 0 alone, a pyramid every level.
    std::vector<std::unique_ptr<ResultWriter>> files;
    std::unique_ptr<PyramidWriter> pyramid;
    std::vector<Format> order;  // the formats in the order of their writers: the files', then the pyramid
    for (const Format format : destination.formats) {
        if (format == Format::zarr) continue;
        files.push_back(std::make_unique<ResultWriter>(format, destination.folderPath, destination.folder, layout));
        order.push_back(format);
        if (!files.back()->begin()) return cantWrite(resultName(volume.name, format), std::strerror(errno));
    }
    if (std::find(destination.formats.begin(), destination.formats.end(), Format::zarr) != destination.formats.end()) {
        pyramid = std::make_unique<PyramidWriter>(destination.folderPath, destination.folder, layout, destination.levels);
        order.push_back(Format::zarr);
        if (!pyramid->begin()) return cantWrite(resultName(volume.name, Format::zarr), std::strerror(errno));
    }
    std::size_t failedWriter = order.size();
    int writeError = 0;
    const auto failedAs = [&](std::size_t writer) { failedWriter = writer, writeError = errno; };
    const SweepOutcome swept = sweepVolume(input.get(), layout, pyramid != nullptr ? destination.levels : 1,
                                           [&](std::size_t level, std::size_t, const float* slice) {
        for (std::size_t i = 0; i < files.size() && level == 0 && writeError == 0; ++i) {
            if (!files[i]->add(slice)) failedAs(i);
        }
        if (pyramid != nullptr && writeError == 0 && !pyramid->add(level, slice)) failedAs(files.size());
        return writeError == 0 && !stopRequested();
    });
    if (writeError != 0) return cantWrite(resultName(volume.name, order[failedWriter]), std::strerror(writeError));
    switch (swept) {
        case SweepOutcome::done: break;
        case SweepOutcome::stopped: return failed("interrupted");
        case SweepOutcome::shortRead: return cantRead(layout, input.get());
        case SweepOutcome::noMemory: return VolumeOutcome{VolumeStatus::noMemory, {}};
    }
    // A file written while it was read gives a mix of old and new samples.
    struct stat after {};
    if (fstat(descriptor, &after) != 0 || after.st_size != opened.st_size || after.st_mtim.tv_sec != opened.st_mtim.tv_sec ||
        after.st_mtim.tv_nsec != opened.st_mtim.tv_nsec) {
        return failed("the file changed while it was read");
    }
    for (std::size_t i = 0; i < order.size(); ++i) {
        const std::string name = resultName(volume.name, order[i]);
        if (!(i < files.size() ? files[i]->finish(name, provenance) : pyramid->finish(name, provenance))) {
            return cantWrite(name, errno == EOVERFLOW ? "the input's size and time don't fit in the header" : std::strerror(errno));
        }
    }
    return VolumeOutcome{VolumeStatus::reduced, ""};
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

VolumeOutcome reduceVolume(const VolumeEntry& volume, const Destination& destination) {
    try {
        return reduceOpenVolume(volume, destination);
    } catch (const VolumeInterrupted&) {
        return failed("interrupted");
    } catch (const std::bad_alloc&) {
        return VolumeOutcome{VolumeStatus::noMemory, {}};
    }
}

}  // namespace quarnel::command
