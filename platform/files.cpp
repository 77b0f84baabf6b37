#include "platform/files.h"
#include "platform/paths.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
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

std::optional<std::string> resolvedPath(const std::string& path) {
    if (path.empty() || path[0] != '/')
        return std::nullopt;
    auto parts = pathComponents(standardizedPath(path));
    // The longest prefix that exists is resolved; "/" always does.
    for (std::size_t kept = parts.size();; --kept) {
        std::string prefix;
        for (std::size_t i = 0; i < kept; ++i)
            prefix += "/" + parts[i];
        char* resolved = realpath(prefix.empty() ? "/" : prefix.c_str(), nullptr);
        if (resolved == nullptr && (errno != ENOENT || kept == 0))
            return std::nullopt;
        if (resolved == nullptr)
            continue;
        std::string result = resolved;
        std::free(resolved);
        for (std::size_t i = kept; i < parts.size(); ++i)
            result += (result == "/" ? "" : "/") + parts[i];
        return result;
    }
}

std::optional<OwnedDescriptor> openWithoutLinks(const std::string& path) {
    if (path.empty() || path[0] != '/')
        return std::nullopt;
    // One resolution by the kernel that refuses a link in any component, the last included.
    open_how how{};
    how.flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS;
    OwnedDescriptor file(static_cast<int>(syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how)));
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
