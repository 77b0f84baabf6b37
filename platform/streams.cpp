#include "platform/streams.h"

#include "platform/interrupted.h"

#include <algorithm>
#include <fcntl.h>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>

bool descriptorsAvailable(int count) {
    // Counted by opening them, as the kernel's own accounting is what will refuse; closed at once.
    constexpr int most = 64;
    int taken[most];
    int opened = 0;
    while (opened < std::min(count, most) && (taken[opened] = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0)
        ++opened;
    for (int index = 0; index < opened; ++index)
        close(taken[index]);
    return opened == std::min(count, most);
}

void raiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max)
        return;
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
}

BoundedInput readBoundedInput(int fd, std::size_t limit, PastLimit pastLimit) {
    BoundedInput input;
    // Left uninitialised: zero-filling it would cost page faults on every run, most of which read a few
    // bytes. What it held is wiped before it is freed.
    constexpr std::size_t chunkSize = 65536;
    auto chunk = std::make_unique_for_overwrite<char[]>(chunkSize);
    std::size_t used = 0;
    bool oversized = false;
    bool failed = false;
    for (;;) {
        ssize_t count = retryingInterrupted([&] { return read(fd, chunk.get(), chunkSize); });
        if (count < 0) {
            failed = true;
            break;
        }
        if (count == 0)
            break;
        used = std::max(used, static_cast<std::size_t>(count));
        if (oversized)
            continue;
        if (input.bytes.size() + static_cast<size_t>(count) > limit) {
            oversized = true;
            input.bytes = WipedBuffer();
            if (pastLimit == PastLimit::stop)
                break;
            continue;
        }
        input.bytes.append(chunk.get(), static_cast<size_t>(count));
    }
    wipe(chunk.get(), used);
    if (failed)
        return {};
    input.complete = !oversized;
    return input;
}

bool writeWhole(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t count = retryingInterrupted([&] { return write(fd, bytes.data(), bytes.size()); });
        if (count <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(count));
    }
    return true;
}
