// One volume: from its path to NAME.mat, or to the line that says why not.
#pragma once

#include <optional>
#include <string>

namespace quarnel::command {

struct VolumeEntry {
    std::string path;
    std::string fileName;    // the path's last component, as the lines show it
    std::string resultName;  // NAME.mat in the output folder
};

// The entry for a path, or nothing when the path has no file name to go by: empty, ".", "..",
// or a path of slashes. Trailing slashes are ignored, as basename does.
std::optional<VolumeEntry> volumeEntry(const std::string& path);

enum class VolumeStatus { reduced, kept, failed };

struct VolumeOutcome {
    VolumeStatus status;
    std::string reason;  // why it failed
};

struct Destination {
    int folder;  // the output folder, open
    bool resume;
};

// Reduces the volume into `result` (16777216 floats) and saves it in the destination. A stop
// signal ends it as failed, "interrupted", with nothing written.
VolumeOutcome reduceVolume(const VolumeEntry& volume, const Destination& destination, float* result);

}  // namespace quarnel::command
