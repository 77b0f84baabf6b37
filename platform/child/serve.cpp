// Serving a started child's pipes: the one poll loop on the caller's thread that writes the child's input
// and reads its output while it runs and while it is stopped, and the thread that reaps a child that
// outlived its stop.
#include "platform/child/stop.h"
#include "platform/interrupted.h"
#include "platform/wiped.h"

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <string_view>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

// While it lives, a write into a pipe whose reader has gone fails with EPIPE on this thread instead of
// raising SIGPIPE; once such a write has been `seen`, the signal it left pending is taken back, so the
// caller's own handling of SIGPIPE stays as it was.
class PipeSignalHeld {
public:
    PipeSignalHeld() {
        sigset_t pipeSignal = onlyPipeSignal();
        pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    }
    void seen() { broken = true; }
    ~PipeSignalHeld() {
        sigset_t pipeSignal = onlyPipeSignal();
        if (broken && !sigismember(&previous, SIGPIPE)) {
            timespec now{0, 0};
            sigtimedwait(&pipeSignal, nullptr, &now);
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    PipeSignalHeld(const PipeSignalHeld&) = delete;
    PipeSignalHeld& operator=(const PipeSignalHeld&) = delete;

private:
    static sigset_t onlyPipeSignal() {
        sigset_t pipeSignal;
        sigemptyset(&pipeSignal);
        sigaddset(&pipeSignal, SIGPIPE);
        return pipeSignal;
    }
    sigset_t previous;
    bool broken = false;
};

constexpr std::size_t readSize = 4096;

// A served child as it goes: what is left to write, and what has ended.
struct Exchange {
    int process;
    OwnedDescriptor input;
    OwnedDescriptor output;
    std::string_view unwritten;
    const ChildOutputSink& sink;
    PipeSignalHeld pipeSignal;
    bool ended = false;
    bool outputDone = false; // at its end, or no longer read once the sink took no more
    bool failed = false;     // a wait could not be made: nothing more can be learnt of the child
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
    ssize_t count = retryingInterrupted([&] { return read(run.output.get(), chunk, sizeof chunk); });
    if (count <= 0) {
        run.outputDone = true;
        return;
    }
    if (!run.sink({chunk, static_cast<std::size_t>(count)})) {
        // The rest is never read: a child that goes on writing blocks until it is stopped.
        signalChild(run.process, SIGTERM);
        run.outputDone = true;
    }
    wipe(chunk, static_cast<std::size_t>(count));
}

enum class Until { childEnded, outputEnded };

// Serves the child's input and output until it has ended (and, for `outputEnded`, its output has
// reached its end, which a leftover process holding the pipe can delay) or the deadline passes; true
// when what was waited for happened. A failed poll ends the wait at once, as not happened: the child's
// end is never assumed, since collecting a child that still runs would wait with no limit.
bool exchangeUntil(Exchange& run, ChildClock::time_point deadline, Until until) {
    for (;;) {
        if (run.ended && (until == Until::childEnded || run.outputDone))
            return true;
        if (run.failed)
            return false;
        pollfd waits[3] = {{run.ended ? -1 : run.process, POLLIN, 0},
                           {run.outputDone ? -1 : run.output.get(), POLLIN, 0},
                           {run.input.valid() ? run.input.get() : -1, POLLOUT, 0}};
        int ready = poll(waits, 3, millisecondsUntil(deadline));
        if (ready < 0 && errno != EINTR) {
            run.failed = true;
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

// A child that outlived its stop is killed, whatever the steps were, and left to a thread of its own,
// which reaps it once it ends.
void abandon(OwnedDescriptor process) {
    signalChild(process.get(), SIGKILL);
    try {
        std::thread([process = std::move(process)] { collectChild(process.get()); }).detach();
    } catch (const std::system_error&) {
    }
}

} // namespace

ServedChild serveChild(const ChildLaunch& launch, std::string_view input, std::span<const StopStep> steps,
                       ChildClock::duration outputGrace, const ChildOutputSink& output) {
    // Until the run is over, a signal that ends the caller stops the child first.
    StopChildWithCaller stopWithCaller;
    auto child = startChild(launch);
    if (!child)
        return {ServedEnd::notStarted, {}};
    stopWithCaller.guard(child->process.get());
    Exchange run{child->process.get(), std::move(child->input), std::move(child->output), input, output};
    if (input.empty())
        run.input.reset();
    if (!run.output.valid())
        run.outputDone = true;

    std::size_t endedDuring = stopChild(run.process, steps, [&run](ChildClock::time_point until) {
        return exchangeUntil(run, until, Until::childEnded);
    });
    if (endedDuring == steps.size()) {
        abandon(std::move(child->process));
        return {ServedEnd::outlived, {}};
    }
    run.input.reset();
    auto exit = collectChild(run.process);
    if (!exchangeUntil(run, ChildClock::now() + outputGrace, Until::outputEnded))
        return {ServedEnd::outputHeld, exit};
    return {endedDuring == 0 ? ServedEnd::ended : ServedEnd::endedOnStop, exit};
}
