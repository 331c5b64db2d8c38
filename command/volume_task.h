// One volume: from its path to its results, or to the reason why not.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "raw_layout.h"
#include "result_file.h"

namespace quarnel::command {

struct VolumeEntry {
    std::string path;
    std::string shownFileName;  // the path's last component, as the lines show it
    std::string name;           // NAME, which names its results
};

// The entry for a path, or nothing when the path has no file name to go by: empty, ".", "..",
// or a path of slashes. Trailing slashes are ignored, as basename does. NAME is the file name
// without a final ".raw", or the whole file name.
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
    std::vector<Format> formats;
    std::array<double, 3> voxelSize;
    RawLayout layout;    // the inputs'
    std::size_t levels;  // a pyramid's
};

// Reduces the volume, writing each slice of its reduction into each format of the destination as
// it is made. A stop ends it as failed, "interrupted", with nothing more written.
VolumeOutcome reduceVolume(const VolumeEntry& volume, const Destination& destination);

}  // namespace quarnel::command
