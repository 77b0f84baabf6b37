// Runs the GitHub CLI as a child: input written and output captured up to the limit from one poll
// loop on the caller's thread, and a time limit enforced by a polite stop, then a forced one.
#include "github/github.h"

#include <cerrno>
#include <poll.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

constexpr std::size_t readSize = 4096;
constexpr auto terminationGrace = std::chrono::seconds(1);
constexpr auto killGrace = std::chrono::seconds(1);
constexpr auto outputGrace = std::chrono::seconds(2);

// A run as it goes: what is left to write, what has been read, and what has ended.
struct Exchange {
    int process;
    OwnedDescriptor input;
    OwnedDescriptor output;
    std::string_view unwritten;
    BoundedGitHubOutput captured;
    PipeSignalHeld pipeSignal;
    bool ended = false;
    bool outputDone = false; // at its end, or no longer read once over the limit
};

void writeSome(Exchange& run) {
    ssize_t count = write(run.input.get(), run.unwritten.data(), run.unwritten.size());
    if (count > 0)
        run.unwritten.remove_prefix(static_cast<std::size_t>(count));
    if (count < 0 && errno == EPIPE)
        run.pipeSignal.seen();
    // A child that closed its input gets nothing more, and an empty pipe tells it the input is over.
    if ((count < 0 && errno != EAGAIN && errno != EINTR) || run.unwritten.empty())
        run.input.reset();
}

void readSome(Exchange& run) {
    char chunk[readSize];
    std::size_t count = readChildOutput(run.output.get(), chunk, sizeof chunk);
    if (count == 0) {
        run.outputDone = true;
        return;
    }
    if (!run.captured.append({chunk, count})) {
        // The rest is never read: a child that goes on writing blocks until it is stopped.
        signalChild(run.process, SIGTERM);
        run.outputDone = true;
    }
    wipe(chunk, count);
}

enum class Until { childEnded, outputEnded };

// Serves the child's input and output until it has ended (and, for `outputEnded`, its output has
// reached its end, which a leftover process holding the pipe can delay) or the deadline passes; true
// when what was waited for happened.
bool exchangeUntil(Exchange& run, ChildClock::time_point deadline, Until until) {
    for (;;) {
        if (run.ended && (until == Until::childEnded || run.outputDone))
            return true;
        pollfd waits[3] = {{run.ended ? -1 : run.process, POLLIN, 0},
                           {run.outputDone ? -1 : run.output.get(), POLLIN, 0},
                           {run.input.valid() ? run.input.get() : -1, POLLOUT, 0}};
        int ready = poll(waits, 3, millisecondsUntil(deadline));
        if (ready < 0 && errno != EINTR) {
            run.ended = run.outputDone = true; // nothing left that can be waited for
            continue;
        }
        if (waits[2].revents != 0)
            writeSome(run);
        if (waits[1].revents != 0)
            readSome(run);
        if (waits[0].revents != 0)
            run.ended = true;
        if (ready == 0 && ChildClock::now() >= deadline)
            return run.ended && (until == Until::childEnded || run.outputDone);
    }
}

ChildClock::duration timeLimit(double seconds) {
    if (!(seconds > 0))
        return ChildClock::duration::zero();
    // About thirty years: far enough to mean "no limit" without overflowing the clock.
    seconds = std::min(seconds, 1e9);
    return std::chrono::duration_cast<ChildClock::duration>(std::chrono::duration<double>(seconds));
}

// A child that outlived even SIGKILL is left to a thread of its own, which reaps it once it ends.
void abandon(OwnedDescriptor process) {
    try {
        std::thread([process = std::move(process)] { collectChild(process.get()); }).detach();
    } catch (const std::system_error&) {
    }
}

} // namespace

bool BoundedGitHubOutput::append(std::string_view chunk) {
    if (storage.size() + chunk.size() > gitHubOutputLimit) {
        overflow = true;
        return false;
    }
    if (storage.empty())
        storage.reserve(gitHubOutputLimit); // one block for the whole run, wiped when it is released
    storage.append(chunk);
    return true;
}

std::pair<WipedBuffer, bool> BoundedGitHubOutput::result() {
    return {std::move(storage), overflow};
}

GitHubResult runChildProcess(const ChildLaunch& launch, std::string_view input, double timeout) {
    // Until the run is over, a signal that ends the caller stops the child first.
    StopChildWithCaller stopWithCaller;
    auto child = startChild(launch);
    if (!child)
        return {127, {}};
    stopWithCaller.guard(child->process.get());
    // The limit runs from the start, so that a child that never reads a large input cannot stretch the
    // run beyond it.
    auto deadline = ChildClock::now() + timeLimit(timeout);
    Exchange run{child->process.get(), std::move(child->input), std::move(child->output), input};
    if (input.empty())
        run.input.reset();

    const StopStep stopList[] = {{StopAction::wait, std::max(deadline - ChildClock::now(), {})},
                                 {StopAction::terminate, terminationGrace},
                                 {StopAction::kill, killGrace}};
    std::size_t endedDuring = stopChild(run.process, stopList, [&run](ChildClock::time_point until) {
        return exchangeUntil(run, until, Until::childEnded);
    });
    if (endedDuring == std::size(stopList)) {
        abandon(std::move(child->process));
        return {124, {}};
    }
    run.input.reset();
    auto end = collectChild(run.process);
    if (!exchangeUntil(run, ChildClock::now() + outputGrace, Until::outputEnded))
        return {124, {}};

    auto [bytes, overflow] = run.captured.result();
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
