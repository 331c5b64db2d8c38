#include "durable_write.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

namespace quarnel::command {

namespace {

constexpr char kTemporaryName[] = ".quarnel-XXXXXX.partial";

// The umask, which results keep as new files and folders do: read once, while the command has one
// thread.
mode_t creationMask() {
    static const mode_t mask = [] {
        const mode_t current = umask(0);
        umask(current);
        return current;
    }();
    return mask;
}

mode_t newFileMode() { return 0666 & ~creationMask(); }

// Where the file system has no locks, no other run can take the file for abandoned either.
bool lock(int descriptor) {
    while (flock(descriptor, LOCK_EX) != 0) {
        if (errno != EINTR) return errno == ENOLCK || errno == EOPNOTSUPP || errno == EINVAL;
    }
    return true;
}

// Calls visit(folder, name, isFolder) for each entry of the folder `tree`, those in a folder before
// the folder itself; true when each entry has an owned name and is a file or a folder, and nothing
// is visited otherwise.
using Visit = void (*)(int folder, const std::string& name, bool isFolder);

void visitNothing(int /*folder*/, const std::string& /*name*/, bool /*isFolder*/) {}

bool everyOwnedEntry(int tree, Visit visit) {
    std::vector<std::pair<std::string, bool>> found;
    DIR* entries = fdopendir(dup(tree));
    bool owned = entries != nullptr;
    while (const dirent* entry = owned ? readdir(entries) : nullptr) {
        struct stat status {};
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        owned = isOwnedName(entry->d_name) && fstatat(tree, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
                (S_ISREG(status.st_mode) || S_ISDIR(status.st_mode));
        found.emplace_back(entry->d_name, S_ISDIR(status.st_mode));
    }
    if (entries != nullptr) closedir(entries);
    for (std::size_t i = 0; owned && i < found.size(); ++i) {
        if (!found[i].second) continue;
        const Descriptor inner(openat(tree, found[i].first.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        owned = inner.value >= 0 && everyOwnedEntry(inner.value, visitNothing);
    }
    for (std::size_t i = 0; owned && i < found.size(); ++i) {
        if (found[i].second) {
            const Descriptor inner(openat(tree, found[i].first.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            everyOwnedEntry(inner.value, visit);
        }
        visit(tree, found[i].first, found[i].second);
    }
    return owned;
}

// Removes the tree `name` in `folder` when it holds nothing but owned names; else leaves it.
void removeOwnedTree(int folder, const char* name) {
    const Descriptor tree(openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    const auto remove = [](int parent, const std::string& entry, bool isFolder) {
        unlinkat(parent, entry.c_str(), isFolder ? AT_REMOVEDIR : 0);
    };
    if (tree.value >= 0 && everyOwnedEntry(tree.value, remove)) unlinkat(folder, name, AT_REMOVEDIR);
}

}  // namespace

bool isOwnedName(const char* name) {
    return std::strcmp(name, ".zgroup") == 0 || std::strcmp(name, ".zattrs") == 0 || std::strcmp(name, ".zarray") == 0 ||
           (*name != '\0' && std::strspn(name, "0123456789") == std::strlen(name));
}

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

TemporaryFolder::~TemporaryFolder() {
    if (!name_.empty()) removeOwnedTree(folder_, name_.c_str());
    if (descriptor_ >= 0) close(descriptor_);
}

bool TemporaryFolder::create() {
    // As mkostemps names a file: six random characters, tried until a name is free.
    constexpr char kCharacters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device entropy;
    std::string name = kTemporaryName;
    for (;;) {
        for (std::size_t i = 0; i < 6; ++i) name[sizeof ".quarnel-" - 1 + i] = kCharacters[entropy() % (sizeof kCharacters - 1)];
        if (mkdirat(folder_, name.c_str(), 0700) == 0) break;
        if (errno != EEXIST) return false;
    }
    name_ = name;
    descriptor_ = openat(folder_, name_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return descriptor_ >= 0 && lock(descriptor_) && fchmod(descriptor_, 0777 & ~creationMask()) == 0;
}

bool TemporaryFolder::write(const std::string& path, const void* data, std::size_t size) {
    for (std::size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string folder = path.substr(0, slash);
        if (folders_.count(folder) == 1) continue;
        if (mkdirat(descriptor_, folder.c_str(), 0777) != 0 && errno != EEXIST) return false;
        folders_.insert(folder);
    }
    const Descriptor file(openat(descriptor_, path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, newFileMode()));
    if (file.value < 0) return false;
    for (const auto* bytes = static_cast<const char*>(data); size > 0;) {
        const ssize_t written = ::write(file.value, bytes, size);
        if (written < 0 && errno == EINTR) continue;
        if (written == 0) errno = ENOSPC;
        if (written <= 0) return false;
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    (void)sync_file_range(file.value, 0, 0, SYNC_FILE_RANGE_WRITE);
    return true;
}

bool TemporaryFolder::commit(const std::string& name) {
    // Every file and folder in it at once, with the file system they are on: a sync of each of a
    // pyramid's hundreds took a fifth of a volume's time. Their writeback began as each file was
    // written, so most of it is done by now.
    if (syncfs(descriptor_) != 0) return false;
    // Atomically in place of an earlier tree, which then has the temporary's name and goes with it.
    if (renameat2(folder_, name_.c_str(), folder_, name.c_str(), RENAME_NOREPLACE) == 0) {
        name_.clear();
    } else if (errno != EEXIST || renameat2(folder_, name_.c_str(), folder_, name.c_str(), RENAME_EXCHANGE) != 0) {
        if (errno != EINVAL) return false;
        // A file system that can do neither: an earlier tree is moved aside first, onto an empty
        // temporary folder, which the rename replaces.
        TemporaryFolder aside(folderPath_, folder_);
        struct stat earlier {};
        if (fstatat(folder_, name.c_str(), &earlier, AT_SYMLINK_NOFOLLOW) == 0 &&
            (!aside.create() || renameat(folder_, name.c_str(), folder_, aside.name_.c_str()) != 0)) {
            return false;
        }
        if (renameat(folder_, name_.c_str(), folder_, name.c_str()) != 0) return false;
        name_.clear();
    }
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
        const bool isFolder = file.value >= 0 && fstat(file.value, &opened) == 0 && S_ISDIR(opened.st_mode);
        if (file.value >= 0 && (isFolder || (S_ISREG(opened.st_mode) && std::find(sizes.begin(), sizes.end(), opened.st_size) != sizes.end())) &&
            !std::binary_search(inputs.begin(), inputs.end(), identityOf(opened)) &&
            flock(file.value, LOCK_EX | LOCK_NB) == 0 && fstatat(folder, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            identityOf(opened) == identityOf(named)) {
            if (isFolder) {
                removeOwnedTree(folder, entry->d_name);
            } else {
                unlinkat(folder, entry->d_name, 0);
            }
        }
    }
    if (entries != nullptr) closedir(entries);
}

}  // namespace quarnel::command
