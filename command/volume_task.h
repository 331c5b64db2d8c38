// One volume: from its path to NAME.mat, or to the reason why not.
#pragma once

#include <optional>
#include <string>

namespace quarnel::command {

struct VolumeEntry {
    std::string path;
    std::string shownFileName;  // the path's last component, as the lines show it
    std::string resultName;     // NAME.mat in the output folder
};

// The entry for a path, or nothing when the path has no file name to go by: empty, ".", "..",
// or a path of slashes. Trailing slashes are ignored, as basename does.
std::optional<VolumeEntry> volumeEntry(const std::string& path);

// noMemory: the volume couldn't be tried for want of memory, which another worker may have.
enum class VolumeStatus { reduced, kept, failed, noMemory };

struct VolumeOutcome {
    VolumeStatus status;
    std::string reason;  // why it failed; for noMemory the core's line, or none
};

struct Destination {
    std::string folderPath;
    int folder;  // the output folder, open
    bool resume;
};

// Reduces the volume into `result` (16777216 floats) and saves it in the destination. A stop
// ends it as failed, "interrupted", with nothing written.
VolumeOutcome reduceVolume(const VolumeEntry& volume, const Destination& destination, float* result);

}  // namespace quarnel::command
