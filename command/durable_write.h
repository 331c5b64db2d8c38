// Results reach the output folder whole or not at all. Each is written to a hidden temporary,
// ".quarnel-XXXXXX.partial", which no *.mat glob takes: locked from the start and given its final
// size at once (by that size and its free lock a later run knows an abandoned one), then synced,
// renamed into place, and the folder synced. A result that is a tree of files is written into a
// temporary folder of that name, locked as well, whose files are synced before it is renamed into
// place as a whole.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

namespace quarnel::command {

// A file as the system knows it, whatever name it is reached by.
using FileIdentity = std::pair<dev_t, ino_t>;

inline FileIdentity identityOf(const struct stat& status) { return {status.st_dev, status.st_ino}; }

// An open descriptor, closed when it goes.
struct Descriptor {
    explicit Descriptor(int descriptor) : value(descriptor) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (value >= 0) close(value);
    }
    const int value;
};

// A temporary in the output folder, open as `folder` at `folderPath`; removed unless renamed.
class Temporary {
public:
    Temporary(std::string folderPath, int folder) : folderPath_(std::move(folderPath)), folder_(folder) {}
    Temporary(const Temporary&) = delete;
    Temporary& operator=(const Temporary&) = delete;
    ~Temporary();
    // Each is false with errno set when it fails. create makes it, locked and `size` bytes long;
    // write writes all of `data` at `offset`; commit syncs it, renames it to `name` and syncs the
    // folder.
    bool create(off_t size);
    bool write(const void* data, std::size_t size, off_t offset) const;
    bool commit(const std::string& name);

private:
    std::string folderPath_;
    int folder_;
    int descriptor_ = -1;
    std::string name_;
};

// A temporary folder in the output folder, for a result that is a tree of files, whose names are
// those of ownedName; removed unless committed.
class TemporaryFolder {
public:
    TemporaryFolder(std::string folderPath, int folder) : folderPath_(std::move(folderPath)), folder_(folder) {}
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    ~TemporaryFolder();
    // Each is false with errno set when it fails. create makes it, locked; write writes a file of
    // `path`, its folders made, and starts its writeback; commit syncs every file and folder in it
    // (the whole file system, syncfs), renames it to `name`, in place of any tree of that name,
    // which is then removed, and syncs the output folder.
    bool create();
    bool write(const std::string& path, const void* data, std::size_t size);
    bool commit(const std::string& name);

private:
    std::string folderPath_;
    int folder_;
    int descriptor_ = -1;
    std::string name_;
    std::set<std::string> folders_;  // made in it
};

// Whether a name in a tree of results is one a tree of results has: ".zgroup", ".zattrs",
// ".zarray" or a number.
bool isOwnedName(const char* name);

// Removes the temporaries that killed runs left in the folder: files of exactly one of `sizes`, a
// result's, and folders holding nothing but owned names, whose lock can be taken, as a live writer
// holds its own, and that are none of `inputs` (sorted).
void removeAbandonedTemporaries(int folder, const std::vector<off_t>& sizes, const std::vector<FileIdentity>& inputs);

}  // namespace quarnel::command
