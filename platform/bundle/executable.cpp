#include "platform/bundle/executable.h"

#include <climits>
#include <unistd.h>

std::optional<std::string> executableRealPath() {
    // The kernel resolves /proc/self/exe to the file actually mapped, links and all.
    char buffer[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof buffer || buffer[0] != '/')
        return std::nullopt;
    return std::string(buffer, static_cast<size_t>(length));
}
