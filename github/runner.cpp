// Runs the GitHub CLI as a child: input written, output captured up to the limit on a reader thread,
// and a time limit enforced by a polite stop, then a forced one.
#include "github/github.h"

#include <atomic>
#include <csignal>
#include <memory>
#include <semaphore>
#include <system_error>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t readSize = 4096;
constexpr auto terminationGrace = std::chrono::seconds(1);
constexpr auto killGrace = std::chrono::seconds(1);
constexpr auto readerGrace = std::chrono::seconds(2);

// What the runner, the output reader and the thread that reaps the child share. Whoever lets go last
// frees it, so a run the runner has given up on may finish in the background.
struct RunShared {
    OwnedDescriptor process;
    OwnedDescriptor output;
    BoundedGitHubOutput captured;
    std::binary_semaphore exited{0};
    std::binary_semaphore readerDone{0};
    std::atomic<bool> ended{false};
    int status = 0; // written before `ended` is set
};

void reapChild(std::shared_ptr<RunShared> run) {
    run->status = awaitChildEnd(run->process.get());
    run->ended.store(true);
    run->exited.release();
}

void readOutput(std::shared_ptr<RunShared> run) {
    char chunk[readSize];
    for (;;) {
        std::size_t count = readChildOutput(run->output.get(), chunk, sizeof chunk);
        if (count == 0)
            break;
        if (!run->captured.append({chunk, count})) {
            // The rest is never read: a child that goes on writing blocks until it is stopped.
            if (!run->ended.load())
                signalChild(run->process.get(), SIGTERM);
            break;
        }
    }
    run->readerDone.release();
}

bool startBackgroundThreads(const std::shared_ptr<RunShared>& run) {
    try {
        std::thread(reapChild, run).detach();
    } catch (const std::system_error&) {
        signalChild(run->process.get(), SIGKILL);
        awaitChildEnd(run->process.get());
        return false;
    }
    try {
        std::thread(readOutput, run).detach();
    } catch (const std::system_error&) {
        signalChild(run->process.get(), SIGKILL);
        return false;
    }
    return true;
}

Clock::duration timeLimit(double seconds) {
    if (!(seconds > 0))
        return Clock::duration::zero();
    // About thirty years: far enough to mean "no limit" without overflowing the clock.
    seconds = std::min(seconds, 1e9);
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

void stopAfterTimeLimit(RunShared& run) {
    if (!run.ended.load())
        signalChild(run.process.get(), SIGTERM);
    if (run.exited.try_acquire_until(Clock::now() + terminationGrace))
        return;
    if (!run.ended.load())
        signalChild(run.process.get(), SIGKILL);
    (void)run.exited.try_acquire_until(Clock::now() + killGrace);
}

} // namespace

bool BoundedGitHubOutput::append(std::string_view chunk) {
    std::lock_guard held(lock);
    if (storage.size() + chunk.size() > gitHubOutputLimit) {
        overflow = true;
        return false;
    }
    storage.append(chunk);
    return true;
}

std::pair<std::string, bool> BoundedGitHubOutput::result() const {
    std::lock_guard held(lock);
    return {storage, overflow};
}

GitHubResult runChildProcess(const ChildLaunch& launch, std::string_view input, double timeout) {
    auto child = startChild(launch);
    if (!child)
        return {127, {}};
    auto run = std::make_shared<RunShared>();
    run->process = std::move(child->process);
    run->output = std::move(child->output);
    if (!startBackgroundThreads(run))
        return {127, {}};

    // The limit runs from here rather than from the end of the write, so that a child that never reads
    // a large input cannot stretch the run beyond it.
    auto deadline = Clock::now() + timeLimit(timeout);
    writeChildInput(child->input.get(), run->process.get(), input, deadline);
    child->input.reset();

    bool timedOut = !run->exited.try_acquire_until(deadline);
    if (timedOut)
        stopAfterTimeLimit(*run);
    if (!run->ended.load())
        return {124, {}};
    if (!run->readerDone.try_acquire_until(Clock::now() + readerGrace))
        return {124, {}};

    auto [bytes, overflow] = run->captured.result();
    if (timedOut)
        return {124, overflow ? std::string() : std::move(bytes)};
    if (overflow)
        return {125, {}};
    return {run->status, std::move(bytes)};
}

GitHubResult runGitHubCli(const std::vector<std::string>& arguments, std::string_view input, double timeout) {
    auto cli = bundledGitHubCli();
    if (!cli)
        return {127, {}};
    auto environment = githubEnvironment();
    if (!environment)
        return {127, {}};
    std::string home = (*environment)["HOME"];
    ChildLaunch launch{cli->path, cli->file.get(), arguments, std::move(*environment), std::move(home)};
    return runChildProcess(launch, input, timeout);
}
