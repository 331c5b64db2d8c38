// The streaming sweep: fills the reduced volume from an open raw volume file, one slice pair at a
// time, holding nothing but a 1 MiB slice-pair buffer besides the destination.
#pragma once

#include <cstdio>

namespace quarnel {

// The one line printed when the file can't deliver the whole volume, before or during the sweep.
constexpr const char* kShortVolumeMessage = "Couldn't read 268435456 bytes from file!\n";

// True when the stream can deliver the volume's last byte, so a whole volume is there to read.
// A file that is too short, a directory or an unseekable stream answers false. Moves the stream's
// position, which the sweep doesn't rely on.
bool volumeIsComplete(std::FILE* input);

}  // namespace quarnel

// Writes all 16777216 elements of `destination` (column-major 256 x 256 x 256) once, from the
// 256 slice pairs of `input`, each read as two absolute seeks and two slice reads. With
// `showProgress`, prints "Resample Progress : %.2f percent" and has the host redraw before each
// pair is read. Samples a read fails to deliver count as zero, and the sweep then prints
// quarnel::kShortVolumeMessage once it is done. Without its buffer it prints "Couldn't Allocate
// Buffer Memory!" and leaves the destination untouched. Returns true when every sample was
// delivered. Like the host's own operations it lives at global scope: it is the one entry into
// the reduction, for the gateway and for anyone timing or embedding the sweep.
bool resampleVolume(std::FILE* input, float* destination, bool showProgress);
