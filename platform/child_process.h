// Stands in for NSTask, NSPipe and the task's termination handler: every child the project starts is
// started here, with a stated policy for its descriptors, signals, environment and working folder, and
// watched through a process descriptor so that no signal can reach a process that later reuses its
// identifier.
#pragma once

#include "platform/descriptor.h"

#include <array>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The clock of every wait here: monotonic, so that neither a step of the wall clock nor a suspend ends a
// wait early or stretches it.
using ChildClock = std::chrono::steady_clock;

// What one of the child's standard descriptors is.
enum class ChildStream {
    pipe,       // a new pipe, whose other end the caller gets
    nullDevice, // the null device
    inherited,  // the caller's own descriptor of the same number
    closed,     // nothing: the child starts with that number closed
    given,      // the caller's descriptor named for that number in `givenDescriptors`
};

using ChildEnvironment = std::vector<std::pair<std::string, std::string>>;

// NAME=value entries as an environment; an entry without "=" is a name with an empty value.
ChildEnvironment environmentOf(const std::vector<std::string>& entries);
// The caller's own environment, as a child that inherited it would see it.
ChildEnvironment callerEnvironment();

struct ChildLaunch {
    std::string executable;        // the child's argv[0], and the file started when no descriptor is given
    int executableDescriptor = -1; // an open file to start instead of looking `executable` up again
    std::vector<std::string> arguments; // after argv[0]
    ChildEnvironment environment;       // the child's whole environment, in this order
    std::string workingDirectory;       // empty: the caller's
    ChildStream input = ChildStream::pipe;
    ChildStream output = ChildStream::pipe;
    ChildStream error = ChildStream::nullDevice;
    std::array<int, 3> givenDescriptors{-1, -1, -1}; // for the streams that are `given`
    // SIGKILL reaches the child when the thread that started it ends, which includes the caller being
    // killed: a child that must not outlive its owner is started from a thread that lives as long as
    // the run.
    bool endsWithStarter = true;
};

struct StartedChild {
    int pid = -1;            // for reports only; signals go through `process`
    OwnedDescriptor process; // refers to this child only, even after its identifier is reused
    OwnedDescriptor input;   // the write end of a piped standard input; never blocks
    OwnedDescriptor output;  // the read end of a piped standard output
    OwnedDescriptor error;   // the read end of a piped standard error
};

// Starts the child. It gets its three standard descriptors as the launch states and no other descriptor
// of the caller, default signal dispositions and an empty signal mask. Nothing when it could not be
// started, the exec of its executable included.
std::optional<StartedChild> startChild(const ChildLaunch& launch);

// Sends the signal to the child; harmless once it has ended.
void signalChild(int process, int signal);

// Waits until the child has ended or the deadline has passed, without reaping it; true when it ended.
bool awaitChildEnd(int process, ChildClock::time_point deadline);

// poll's time-out for the time left until `deadline`: at most a minute, so that a long wait is taken in
// pieces, each against the deadline anew.
int millisecondsUntil(ChildClock::time_point deadline);

struct ChildEnd {
    int status = -1;       // the exit status, or the signal's number; -1 when it could not be learnt
    bool bySignal = false; // a signal ended the child
    long peakResidentKb = 0;
};

// Blocks until the child ends and reaps it.
ChildEnd collectChild(int process);

// One step of an escalating stop: send the action's signal (none for a wait), then wait up to `limit`.
enum class StopAction { wait, terminate, kill };
struct StopStep {
    StopAction action;
    ChildClock::duration limit;
};

// Takes the steps in order until the child has ended. Gives the index of the step during which it
// ended, or the number of steps when it outlived them all. Safe to call from a signal handler.
std::size_t stopChild(int process, std::span<const StopStep> steps);

// The same, with `awaitEnd(deadline)` as each step's wait (true once the child has ended), for a caller
// that has the child's pipes to serve while it waits.
template <typename AwaitEnd>
std::size_t stopChild(int process, std::span<const StopStep> steps, AwaitEnd&& awaitEnd) {
    for (std::size_t step = 0; step < steps.size(); ++step) {
        if (steps[step].action != StopAction::wait)
            signalChild(process, steps[step].action == StopAction::terminate ? SIGTERM : SIGKILL);
        if (awaitEnd(ChildClock::now() + steps[step].limit))
            return step;
    }
    return steps.size();
}

// While it lives, a SIGTERM, SIGINT or SIGHUP that would end the caller (its disposition is the
// default) first stops the child given to `guard`: terminate, a second's wait, kill, a second's wait.
// The caller then ends by that signal as it would have. Signals the caller ignores or handles itself
// are left to it. Made before the child is started, so that the child is guarded from its first moment
// but for the few instructions between its start and `guard`.
class StopChildWithCaller {
public:
    StopChildWithCaller();
    void guard(int process);
    ~StopChildWithCaller();
    StopChildWithCaller(const StopChildWithCaller&) = delete;
    StopChildWithCaller& operator=(const StopChildWithCaller&) = delete;

private:
    int slot;
};

// Blocks until the child ends and reaps it. SIGTERM, SIGINT and SIGHUP sent to the caller meanwhile are
// passed on to the child, and the caller goes on waiting.
ChildEnd collectChildPassingStops(int process);

// SIGCHLD back at its default: a caller that ignored it would have the kernel reap every child before
// its status could be collected.
void restoreChildEndSignal();

// While it lives, a write into a pipe whose reader has gone fails with EPIPE on this thread instead of
// raising SIGPIPE; once such a write has been `seen`, the signal it left pending is taken back, so the
// caller's own handling of SIGPIPE stays as it was.
class PipeSignalHeld {
public:
    PipeSignalHeld();
    void seen() { broken = true; }
    ~PipeSignalHeld();
    PipeSignalHeld(const PipeSignalHeld&) = delete;
    PipeSignalHeld& operator=(const PipeSignalHeld&) = delete;

private:
    sigset_t previous;
    bool broken = false;
};

// Writes `bytes` to the child's standard input until all are written, the child has closed its end or
// ended, or the deadline passes; true when all were written. A closed pipe never raises SIGPIPE.
bool writeChildInput(int input, int process, std::string_view bytes, ChildClock::time_point deadline);

// Reads up to `size` bytes, blocking; 0 at end of file or on an error.
std::size_t readChildOutput(int output, char* buffer, std::size_t size);
