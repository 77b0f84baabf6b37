// Runs the GitHub CLI as a child: input written, output captured up to the limit on a reader thread,
// and a time limit enforced by a polite stop, then a forced one.
#include "github/github.h"

#include <condition_variable>
#include <csignal>
#include <memory>
#include <system_error>
#include <thread>

namespace {

constexpr std::size_t readSize = 4096;
constexpr auto terminationGrace = std::chrono::seconds(1);
constexpr auto killGrace = std::chrono::seconds(1);
constexpr auto readerGrace = std::chrono::seconds(2);

// What the runner and the output reader share. Whoever lets go last frees it, so a run the runner has
// given up on may finish in the background.
struct RunShared {
    OwnedDescriptor process;
    OwnedDescriptor output;
    BoundedGitHubOutput captured;
    std::mutex lock;
    std::condition_variable readerStopped;
    bool readerDone = false; // guarded by `lock`
};

void readOutput(std::shared_ptr<RunShared> run) {
    char chunk[readSize];
    for (;;) {
        std::size_t count = readChildOutput(run->output.get(), chunk, sizeof chunk);
        if (count == 0)
            break;
        if (!run->captured.append({chunk, count})) {
            // The rest is never read: a child that goes on writing blocks until it is stopped.
            signalChild(run->process.get(), SIGTERM);
            break;
        }
    }
    wipe(chunk, sizeof chunk);
    std::lock_guard held(run->lock);
    run->readerDone = true;
    run->readerStopped.notify_all();
}

// Waits on the monotonic clock: libstdc++ gives a steady_clock deadline to pthread_cond_clockwait.
bool readerStoppedWithin(RunShared& run, ChildClock::duration grace) {
    std::unique_lock held(run.lock);
    return run.readerStopped.wait_until(held, ChildClock::now() + grace, [&] { return run.readerDone; });
}

ChildClock::duration timeLimit(double seconds) {
    if (!(seconds > 0))
        return ChildClock::duration::zero();
    // About thirty years: far enough to mean "no limit" without overflowing the clock.
    seconds = std::min(seconds, 1e9);
    return std::chrono::duration_cast<ChildClock::duration>(std::chrono::duration<double>(seconds));
}

// A child that outlived even SIGKILL is left to a thread of its own, which reaps it once it ends.
void abandon(const std::shared_ptr<RunShared>& run) {
    try {
        std::thread([run] { collectChild(run->process.get()); }).detach();
    } catch (const std::system_error&) {
    }
}

} // namespace

bool BoundedGitHubOutput::append(std::string_view chunk) {
    std::lock_guard held(lock);
    if (storage.size() + chunk.size() > gitHubOutputLimit) {
        overflow = true;
        return false;
    }
    if (storage.empty())
        storage.reserve(gitHubOutputLimit); // one block for the whole run, wiped when it is released
    storage.append(chunk);
    return true;
}

std::pair<WipedBuffer, bool> BoundedGitHubOutput::result() const {
    std::lock_guard held(lock);
    return {storage, overflow};
}

GitHubResult runChildProcess(const ChildLaunch& launch, std::string_view input, double timeout) {
    // Until the run is over, a signal that ends the caller stops the child first.
    StopChildWithCaller stopWithCaller;
    auto child = startChild(launch);
    if (!child)
        return {127, {}};
    stopWithCaller.guard(child->process.get());
    auto run = std::make_shared<RunShared>();
    run->process = std::move(child->process);
    run->output = std::move(child->output);
    try {
        std::thread(readOutput, run).detach();
    } catch (const std::system_error&) {
        signalChild(run->process.get(), SIGKILL);
        collectChild(run->process.get());
        return {127, {}};
    }

    // The limit runs from here rather than from the end of the write, so that a child that never reads
    // a large input cannot stretch the run beyond it.
    auto deadline = ChildClock::now() + timeLimit(timeout);
    writeChildInput(child->input.get(), run->process.get(), input, deadline);
    child->input.reset();

    const StopStep stopList[] = {{StopAction::wait, std::max(deadline - ChildClock::now(), {})},
                                 {StopAction::terminate, terminationGrace},
                                 {StopAction::kill, killGrace}};
    std::size_t endedDuring = stopChild(run->process.get(), stopList);
    if (endedDuring == std::size(stopList)) {
        abandon(run);
        return {124, {}};
    }
    auto end = collectChild(run->process.get());
    if (!readerStoppedWithin(*run, readerGrace))
        return {124, {}};

    auto [bytes, overflow] = run->captured.result();
    if (endedDuring > 0)
        return {124, overflow ? WipedBuffer() : std::move(bytes)};
    if (overflow)
        return {125, {}};
    return {end.status, std::move(bytes)};
}

GitHubResult runGitHubCli(const std::vector<std::string>& arguments, std::string_view input, double timeout) {
    auto cli = bundledGitHubCli();
    if (!cli)
        return {127, {}};
    auto environment = githubEnvironment();
    if (!environment)
        return {127, {}};
    std::string home = (*environment)["HOME"];
    ChildLaunch launch{
        cli->path, cli->file.get(), arguments, {environment->begin(), environment->end()}, std::move(home)};
    return runChildProcess(launch, input, timeout);
}
