// The runner against real children: scripts started through the lower-level entry.
#include "github/github.h"
#include "tests/github/github_test_support.h"
#include "tests/support/run_program.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

const ChildEnvironment plainEnvironment{{"PATH", "/usr/bin:/bin"}};

struct TimedResult {
    GitHubResult result;
    double seconds;
};

TimedResult runScript(const std::string& body, double timeout, std::string_view input = {}) {
    auto started = Clock::now();
    auto result = runChildProcess({writeScript(body), -1, {}, plainEnvironment, "/"}, input, timeout);
    return {result, std::chrono::duration<double>(Clock::now() - started).count()};
}

TEST(GitHubRunner, OutputUpToTheLimitIsKeptWholeAndOneByteMoreIsRefused) {
    auto exact = runScript("head -c 65536 /dev/zero | tr '\\0' a", 10);
    EXPECT_TRUE(exact.result.succeeded());
    EXPECT_EQ(exact.result.bytes, std::string(65536, 'a'));

    auto over = runScript("head -c 65537 /dev/zero | tr '\\0' a", 10);
    EXPECT_EQ(over.result.end, GitHubRunEnd::overLimit);
    EXPECT_EQ(over.result.bytes, "");

    // A flood that stops on SIGTERM ends well before its time limit.
    auto flood = runScript("exec cat /dev/zero", 10);
    EXPECT_EQ(flood.result.end, GitHubRunEnd::overLimit);
    EXPECT_EQ(flood.result.bytes, "");
    EXPECT_LT(flood.seconds, 5);
}

TEST(GitHubRunner, TheChildsOwnStatusCarriesItsOutput) {
    for (int status : {0, 3, 124, 125, 127}) {
        auto run = runScript("printf x; exit " + std::to_string(status), 10);
        EXPECT_TRUE(run.result.exitedWith(status));
        EXPECT_EQ(run.result.bytes, "x");
    }
    auto killed = runScript("printf y; kill -9 $$", 10);
    EXPECT_TRUE(killed.result.exitedWith(9));
    EXPECT_EQ(killed.result.bytes, "y");
}

TEST(GitHubRunner, TimeLimitStopsPolitelyThenByForce) {
    auto polite = runScript("printf z; exec sleep 10", 1);
    EXPECT_EQ(polite.result.end, GitHubRunEnd::timedOut);
    EXPECT_EQ(polite.result.bytes, "z");
    EXPECT_LT(polite.seconds, 1 + 4);

    auto stubborn = runScript("trap '' TERM; printf w; exec sleep 10", 1);
    EXPECT_EQ(stubborn.result.end, GitHubRunEnd::timedOut);
    EXPECT_EQ(stubborn.result.bytes, "w");
    EXPECT_GE(stubborn.seconds, 1.9); // SIGKILL came one grace period after SIGTERM
    EXPECT_LT(stubborn.seconds, 1 + 4);

    auto stubbornFlood = runScript("trap '' TERM; exec cat /dev/zero", 1);
    EXPECT_EQ(stubbornFlood.result.end, GitHubRunEnd::timedOut);
    EXPECT_EQ(stubbornFlood.result.bytes, "");
    EXPECT_LT(stubbornFlood.seconds, 1 + 4);

    for (double limit : {0.0, -5.0}) {
        auto immediate = runScript("exec sleep 10", limit);
        EXPECT_EQ(immediate.result.end, GitHubRunEnd::timedOut);
        EXPECT_LT(immediate.seconds, 4);
    }
}

TEST(GitHubRunner, AnOutputPipeHeldByALeftoverProcessEndsAsTimeOut) {
    auto run = runScript("printf v; sleep 4 & exit 0", 30);
    EXPECT_EQ(run.result.end, GitHubRunEnd::timedOut);
    EXPECT_EQ(run.result.bytes, "");
    EXPECT_GE(run.seconds, 1.9);
    EXPECT_LT(run.seconds, 3.9);
}

// The probe's wall clock is stepped by hours each way after its first reading, so during the run; the run
// is measured here, on the monotonic clock.
TEST(GitHubRunner, LimitsHoldWhenTheWallClockIsHoursOff) {
    struct Case {
        const char* script;
        const char* timeout;
        std::string answer;
        double atLeast, below;
    };
    const Case cases[] = {
        {"printf z; exec sleep 30", "1", "124\nz", 1, 1 + 4},
        {"trap '' TERM; printf w; exec sleep 30", "1", "124\nw", 1.9, 1 + 4}, // SIGKILL a second later
        {"printf v; sleep 6 & exit 0", "30", "124\n", 1.9, 3.9},              // the leftover holds the output
    };
    for (const char* shift : {"10800", "-10800"}) {
        auto environment = environmentWith({"LD_PRELOAD=" + fixturesPath() + "/clock_shift.so",
                                            std::string("DOVREL_CLOCK_SHIFT=") + shift,
                                            "ASAN_OPTIONS=verify_asan_link_order=0"});
        // The shift takes hold: the second reading of the preloaded program's wall clock is hours off.
        auto date = runProgram({"/usr/bin/perl", {"-e", "my $first = time; print time"}, {}, environment});
        EXPECT_GT(std::abs(std::stol(date.out) - std::time(nullptr)), 10000) << date.out;
        for (const auto& one : cases) {
            auto started = Clock::now();
            auto run = runProgram(
                {fixturesPath() + "/github_cli_probe", {"child", one.timeout, one.script}, {}, environment});
            double seconds = std::chrono::duration<double>(Clock::now() - started).count();
            std::printf("shift %s s, %s: %.2f s\n", shift, one.script, seconds);
            EXPECT_EQ(run.out, one.answer) << shift << ": " << one.script;
            EXPECT_GE(seconds, one.atLeast) << shift << ": " << one.script;
            EXPECT_LT(seconds, one.below) << shift << ": " << one.script;
        }
    }
}

TEST(GitHubRunner, InputIsWrittenAndClosedAndAChildThatRefusesItDoesNotHangTheCaller) {
    EXPECT_EQ(runScript("exec cat", 10, "protocol=https\n\n").result.bytes, "protocol=https\n\n");
    auto empty = runScript("exec cat", 10);
    EXPECT_TRUE(empty.result.succeeded());
    EXPECT_EQ(empty.result.bytes, "");

    // These would raise SIGPIPE in the caller, or block its write forever.
    std::string large(4 << 20, 'i');
    auto closed = runScript("exec 0<&-; printf ok", 10, large);
    EXPECT_TRUE(closed.result.succeeded());
    EXPECT_EQ(closed.result.bytes, "ok");

    auto exitsWithoutReading = runScript("printf done", 10, large);
    EXPECT_TRUE(exitsWithoutReading.result.succeeded());
    EXPECT_EQ(exitsWithoutReading.result.bytes, "done");
    EXPECT_LT(exitsWithoutReading.seconds, 5);

    auto neverReads = runScript("exec sleep 30", 1, large);
    EXPECT_EQ(neverReads.result.end, GitHubRunEnd::timedOut);
    EXPECT_LT(neverReads.seconds, 1 + 4);
}

// poll refuses to watch more descriptors than the process may open: lowering that limit while the run
// waits makes its next poll fail. The child then still runs, so counting the failure as its end would
// collect it only once it ended by itself, with its status taken for the run's.
TEST(GitHubRunner, AWaitThatFailsStopsTheChildInsteadOfTakingItsEnd) {
#if defined(DOVREL_SANITIZE)
    GTEST_SKIP() << "the sanitizers' own checks open descriptors, which the lowered limit refuses";
#endif
    auto go = makeScratchFolder("dovrel-fifo") + "/go";
    ASSERT_EQ(mkfifo(go.c_str(), 0600), 0);
    TimedResult run{{}, 0};
    std::thread runner([&] { run = runScript("read line < " + go + "; printf x; exec sleep 30", 600); });
    // Opening returns once the child has opened the other end: it runs, and the run serves it.
    OwnedDescriptor writer(open(go.c_str(), O_WRONLY | O_CLOEXEC));
    rlimit previous{};
    getrlimit(RLIMIT_NOFILE, &previous);
    rlimit two = previous;
    two.rlim_cur = 2;
    setrlimit(RLIMIT_NOFILE, &two);
    EXPECT_EQ(write(writer.get(), "\n", 1), 1);
    writer.reset();
    runner.join();
    setrlimit(RLIMIT_NOFILE, &previous);
    EXPECT_EQ(run.result.end, GitHubRunEnd::timedOut);
    EXPECT_EQ(run.result.bytes, "");
}

TEST(GitHubRunner, TheChildGetsOnlyWhatItIsGiven) {
    // A descriptor the caller left inheritable, and a signal it ignores, must not reach the child.
    int leaked = open("/dev/null", O_RDONLY);
    ASSERT_GE(leaked, 3);
    auto previous = std::signal(SIGINT, SIG_IGN);
    sigset_t blocked, mask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &blocked, &mask);
    std::string home = makeScratchFolder("dovrel-home");
    auto run = runChildProcess({"/bin/sh",
                                -1,
                                {"-c", "pwd; env | sort; ls /proc/$$/fd; "
                                       "exec sed -n 's/^Sig\\(Ign\\|Blk\\):\\t//p' /proc/self/status"},
                                {{"HOME", home}, {"PATH", "/usr/bin:/bin"}},
                                home},
                               {}, 10);
    pthread_sigmask(SIG_SETMASK, &mask, nullptr);
    std::signal(SIGINT, previous);
    close(leaked);
    EXPECT_TRUE(run.succeeded());
    // The blocked and the ignored signals, both empty.
    EXPECT_EQ(run.bytes, home + "\nHOME=" + home + "\nPATH=/usr/bin:/bin\nPWD=" + home +
                             "\n0\n1\n2\n0000000000000000\n0000000000000000\n");
}

TEST(GitHubRunner, AChildThatCannotStartIsNotAvailable) {
    EXPECT_EQ(runChildProcess({"/nonexistent/gh", -1, {}, plainEnvironment, "/"}, {}, 10).end,
              GitHubRunEnd::notStarted);
    auto script = writeScript("exit 0");
    EXPECT_EQ(runChildProcess({script, -1, {}, plainEnvironment, "/nonexistent-folder"}, {}, 10).end,
              GitHubRunEnd::notStarted);
    writeFile(script, "#!/bin/sh\nexit 0\n", 0644);
    EXPECT_EQ(runChildProcess({script, -1, {}, plainEnvironment, "/"}, {}, 10).end, GitHubRunEnd::notStarted);
}

TEST(GitHubRunner, BoundedOutputKeepsWhatItHadOnceTheLimitIsPassed) {
    BoundedGitHubOutput output;
    EXPECT_TRUE(output.append(std::string(65535, 'a')));
    EXPECT_TRUE(output.append("b"));
    EXPECT_FALSE(output.append("c"));
    EXPECT_TRUE(output.append("")); // nothing more accepted, but the total did not pass the limit
    auto [bytes, overflow] = output.result();
    EXPECT_EQ(bytes, std::string(65535, 'a') + "b");
    EXPECT_TRUE(overflow);
}

} // namespace
