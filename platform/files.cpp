#include "platform/files.h"
#include "platform/paths.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <vector>

namespace {

FileAttributes attributesFrom(const struct stat& status) {
    FileType type = S_ISREG(status.st_mode)   ? FileType::regular
                    : S_ISDIR(status.st_mode) ? FileType::directory
                                              : FileType::other;
    return {type, static_cast<std::uint64_t>(status.st_size), static_cast<unsigned>(status.st_mode & 07777)};
}

} // namespace

std::optional<FileAttributes> itemAttributes(const std::string& path) {
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0)
        return std::nullopt;
    return attributesFrom(status);
}

std::optional<FileAttributes> openFileAttributes(int fd) {
    struct stat status {};
    if (fstat(fd, &status) != 0)
        return std::nullopt;
    return attributesFrom(status);
}

bool reachedThroughSymbolicLink(const std::string& path) {
    if (path.empty() || path[0] != '/')
        return true;
    std::string prefix;
    for (const auto& part : pathComponents(path)) {
        prefix += "/" + part;
        struct stat status {};
        if (lstat(prefix.c_str(), &status) != 0)
            return false;
        if (S_ISLNK(status.st_mode))
            return true;
    }
    return false;
}

std::optional<OwnedDescriptor> openBelowWithoutLinks(const std::string& folder,
                                                     const std::string& relativePath) {
    auto parts = pathComponents(relativePath);
    if (parts.empty())
        return std::nullopt;
    OwnedDescriptor current(open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!current.valid())
        return std::nullopt;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        OwnedDescriptor next(
            openat(current.get(), parts[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.valid())
            return std::nullopt;
        current = std::move(next);
    }
    OwnedDescriptor file(openat(current.get(), parts.back().c_str(),
                                O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!file.valid())
        return std::nullopt;
    return file;
}

bool createDirectoryWithParents(const std::string& path, unsigned permissions) {
    if (path.empty() || path[0] != '/')
        return false;
    std::string prefix;
    for (const auto& part : pathComponents(path)) {
        prefix += "/" + part;
        if (mkdir(prefix.c_str(), permissions) == 0) {
            // The creation mode passes through the umask; the directory must have exactly these bits.
            if (chmod(prefix.c_str(), permissions) != 0)
                return false;
            continue;
        }
        if (errno != EEXIST)
            return false;
        struct stat status {};
        if (stat(prefix.c_str(), &status) != 0 || !S_ISDIR(status.st_mode))
            return false;
    }
    return true;
}
