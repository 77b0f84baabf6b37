// A thousand runs of the GitHub CLI runner with children that exit, flood, hang, ignore SIGTERM or
// leave a process behind: afterwards the caller holds no zombie, no extra descriptor and no extra
// thread, and no descriptor of the caller ever reached a child.
#include "github/github.h"
#include "tests/support/run_program.h"

#include <atomic>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

namespace {

int entriesIn(const std::string& folder) {
    DIR* directory = opendir(folder.c_str());
    if (directory == nullptr)
        return -1;
    int count = 0;
    while (dirent* entry = readdir(directory))
        count += entry->d_name[0] != '.';
    closedir(directory);
    return count - 1; // the descriptor of the listing itself, or nothing for tasks (see below)
}

int openDescriptors() {
    return entriesIn("/proc/self/fd");
}

int threads() {
    return entriesIn("/proc/self/task") + 1;
}

// Children of this process that have ended but were not reaped.
int zombies() {
    int count = 0;
    DIR* proc = opendir("/proc");
    while (dirent* entry = readdir(proc)) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9')
            continue;
        std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), {});
        auto close = text.rfind(')');
        if (close == std::string::npos || close + 4 >= text.size())
            continue;
        char state = text[close + 2];
        long parent = std::strtol(text.c_str() + close + 4, nullptr, 10);
        count += state == 'Z' && parent == getpid();
    }
    closedir(proc);
    return count;
}

GitHubResult runShell(const std::string& script, double timeout) {
    return runChildProcess({"/bin/sh", -1, {"-c", script}, {{"PATH", "/usr/bin:/bin"}}, "/"}, {}, timeout);
}

TEST(RunnerHygiene, AThousandRunsLeaveNothingBehind) {
    const int descriptorsBefore = openDescriptors();
    const int threadsBefore = threads();

    // Kinds by run number: most end quickly, a few take the runner's grace periods.
    auto runOne = [](int run) {
        switch (run % 40) {
        case 0:
            return runShell("trap '' TERM; exec sleep 30", 0.1).end == GitHubRunEnd::timedOut;
        case 1:
            return runShell("sleep 3 & exit 0", 10).end == GitHubRunEnd::timedOut;
        case 2:
        case 3:
        case 4:
            return runShell("exec cat /dev/zero", 10).end == GitHubRunEnd::overLimit;
        case 5:
        case 6:
        case 7:
            return runShell("exec sleep 30", 0).end == GitHubRunEnd::timedOut;
        default:
            return runShell("printf x; exit 3", 10).exitedWith(3);
        }
    };
    std::atomic<int> next = 0, unexpected = 0;
    std::vector<std::thread> workers;
    for (int worker = 0; worker < 8; ++worker)
        workers.emplace_back([&] {
            for (int run = next++; run < 1000; run = next++)
                unexpected += !runOne(run);
        });
    for (auto& worker : workers)
        worker.join();
    EXPECT_EQ(unexpected, 0);

    EXPECT_TRUE(eventually([&] { return openDescriptors() == descriptorsBefore; }))
        << openDescriptors() << " descriptors open, " << descriptorsBefore << " before";
    EXPECT_TRUE(eventually([&] { return threads() == threadsBefore; }))
        << threads() << " threads, " << threadsBefore << " before";
    EXPECT_EQ(zombies(), 0);
}

TEST(RunnerHygiene, NoDescriptorOfTheCallerReachesTheChild) {
    // Opened without close-on-exec on purpose: the runner must not rely on its callers for that.
    int inherited = open("/dev/null", O_RDONLY);
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    // ls looks at the shell's descriptors from outside, so its own open listing does not count.
    auto result = runShell("ls /proc/$$/fd", 10);
    EXPECT_TRUE(result.succeeded());
    EXPECT_EQ(result.bytes, "0\n1\n2\n");
    close(inherited);
    close(pipeEnds[0]);
    close(pipeEnds[1]);
}

} // namespace
