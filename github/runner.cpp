// Runs the GitHub CLI as a child: input written and output captured up to the limit, and a time limit
// enforced by a polite stop, then a forced one. How the run ended is decided here from how the child
// was served.
#include "github/github.h"

#include "platform/streams.h"

#include <algorithm>

namespace {

constexpr auto terminationGrace = std::chrono::seconds(1);
constexpr auto killGrace = std::chrono::seconds(1);
constexpr auto outputGrace = std::chrono::seconds(2);

// What one run opens at most at once: the CLI itself, its pipes, its process handle and the descriptors
// the kernel's /proc and /dev/null reads take, with room to spare.
constexpr int runDescriptors = 16;

ChildClock::duration timeLimit(double seconds) {
    if (!(seconds > 0))
        return ChildClock::duration::zero();
    // About thirty years: far enough to mean "no limit" without overflowing the clock.
    seconds = std::min(seconds, 1e9);
    return std::chrono::duration_cast<ChildClock::duration>(std::chrono::duration<double>(seconds));
}

GitHubResult notStarted() {
    return {GitHubRunEnd::notStarted, 0, {}};
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
    BoundedGitHubOutput captured;
    // The limit runs from the start, so that a child that never reads a large input cannot stretch the
    // run beyond it.
    const StopStep steps[] = {{StopAction::wait, timeLimit(timeout)},
                              {StopAction::terminate, terminationGrace},
                              {StopAction::kill, killGrace}};
    auto served = serveChild(launch, input, steps, outputGrace,
                             [&captured](std::string_view chunk) { return captured.append(chunk); });
    auto [bytes, overflow] = captured.result();
    switch (served.end) {
    case ServedEnd::notStarted:
        return notStarted();
    case ServedEnd::outlived:
    case ServedEnd::outputHeld:
        return {GitHubRunEnd::timedOut, 0, {}};
    case ServedEnd::endedOnStop:
        return {GitHubRunEnd::timedOut, 0, overflow ? WipedBuffer() : std::move(bytes)};
    case ServedEnd::ended:
        break;
    }
    if (overflow)
        return {GitHubRunEnd::overLimit, 0, {}};
    return {GitHubRunEnd::exited, served.exit.status, std::move(bytes)};
}

GitHubResult runGitHubCli(const std::vector<std::string>& arguments, std::string_view input, double timeout) {
    // Short of descriptors, the CLI could be neither opened nor started, which would look like no CLI.
    if (!descriptorsAvailable(runDescriptors))
        return {GitHubRunEnd::outOfDescriptors, 0, {}};
    auto cli = bundledGitHubCli();
    if (!cli)
        return notStarted();
    auto environment = githubEnvironment();
    if (!environment)
        return notStarted();
    std::string home = (*environment)["HOME"];
    ChildLaunch launch{
        cli->path, cli->file.get(), arguments, {environment->begin(), environment->end()}, std::move(home)};
    return runChildProcess(launch, input, timeout);
}
