#include "durable_write.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace quarnel::command {

namespace {

constexpr char kTemporaryName[] = ".quarnel-XXXXXX.partial";

// The mode a new file gets, which results keep: read once, while the command has one thread.
mode_t newFileMode() {
    static const mode_t mode = [] {
        const mode_t mask = umask(0);
        umask(mask);
        return 0666 & ~mask;
    }();
    return mode;
}

// Where the file system has no locks, no other run can take the file for abandoned either.
bool lock(int descriptor) {
    while (flock(descriptor, LOCK_EX) != 0) {
        if (errno != EINTR) return errno == ENOLCK || errno == EOPNOTSUPP || errno == EINVAL;
    }
    return true;
}

}  // namespace

Temporary::~Temporary() {
    if (!name_.empty()) unlinkat(folder_, name_.c_str(), 0);
    if (descriptor_ >= 0) close(descriptor_);
}

bool Temporary::create(off_t size) {
    std::string path = folderPath_ + "/" + kTemporaryName;
    descriptor_ = mkostemps(path.data(), sizeof ".partial" - 1, O_CLOEXEC);
    if (descriptor_ < 0) return false;
    name_ = path.substr(path.size() - (sizeof kTemporaryName - 1));
    return lock(descriptor_) && fchmod(descriptor_, newFileMode()) == 0 && ftruncate(descriptor_, size) == 0;
}

bool Temporary::write(const void* data, std::size_t size, off_t offset) const {
    for (const auto* bytes = static_cast<const char*>(data); size > 0;) {
        const ssize_t written = pwrite(descriptor_, bytes, size, offset);
        if (written < 0 && errno == EINTR) continue;
        if (written == 0) errno = ENOSPC;
        if (written <= 0) return false;
        // The disk starts on what is written at once, rather than at the sync: it then writes a
        // result while the rest is copied and summed, which made a volume a quarter faster here.
        // Whole pages alone: a write into a page under writeback would wait for it.
        const off_t from = offset & ~off_t{4095};
        const off_t to = (offset + written) & ~off_t{4095};
        if (to > from) (void)sync_file_range(descriptor_, from, to - from, SYNC_FILE_RANGE_WRITE);
        bytes += written;
        size -= static_cast<std::size_t>(written);
        offset += written;
    }
    return true;
}

bool Temporary::commit(const std::string& name) {
    if (fsync(descriptor_) != 0 || renameat(folder_, name_.c_str(), folder_, name.c_str()) != 0) return false;
    name_.clear();
    return fsync(folder_) == 0 || errno == EINVAL;
}

void removeAbandonedTemporaries(int folder, const std::vector<off_t>& sizes, const std::vector<FileIdentity>& inputs) {
    DIR* entries = fdopendir(dup(folder));
    while (const dirent* entry = entries == nullptr ? nullptr : readdir(entries)) {
        if (fnmatch(".quarnel-??????.partial", entry->d_name, 0) != 0) continue;
        const Descriptor file(openat(folder, entry->d_name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
        struct stat opened {};
        struct stat named {};
        // The name must still lead to the file once its lock is had: another run may have removed
        // it, and a user's file may have taken the name since.
        if (file.value >= 0 && fstat(file.value, &opened) == 0 && S_ISREG(opened.st_mode) &&
            std::find(sizes.begin(), sizes.end(), opened.st_size) != sizes.end() &&
            !std::binary_search(inputs.begin(), inputs.end(), identityOf(opened)) &&
            flock(file.value, LOCK_EX | LOCK_NB) == 0 && fstatat(folder, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            identityOf(opened) == identityOf(named)) {
            unlinkat(folder, entry->d_name, 0);
        }
    }
    if (entries != nullptr) closedir(entries);
}

}  // namespace quarnel::command
