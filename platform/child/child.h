// Stands in for NSTask, NSPipe and the task's termination handler: every child the project starts is
// started here, with a stated policy for its descriptors, signals, environment and working folder, and
// watched through a process descriptor so that no signal can reach a process that later reuses its
// identifier.
#pragma once

#include "platform/descriptor.h"

#include <array>
#include <chrono>
#include <functional>
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

struct ChildEnd {
    int status = -1;       // the exit status, or the signal's number; -1 when it could not be learnt
    bool bySignal = false; // a signal ended the child
};

// Sends the signal to the child; harmless once it has ended.
void signalChild(int process, int signal);

// Waits until the child has ended or the deadline has passed, without reaping it; true when it ended. A
// wait that cannot be made counts as not ended, so that a stop goes on to its next step.
bool awaitChildEnd(int process, ChildClock::time_point deadline);

// Blocks until the child ends and reaps it.
ChildEnd collectChild(int process);

// Blocks until the child ends and reaps it. SIGTERM, SIGINT and SIGHUP sent to the caller meanwhile are
// passed on to the child, and the caller goes on waiting.
ChildEnd collectChildPassingStops(int process);

// SIGCHLD back at its default: a caller that ignored it would have the kernel reap every child before
// its status could be collected.
void restoreChildEndSignal();

// One step of an escalating stop: send the action's signal (none for a wait), then wait up to `limit`.
enum class StopAction { wait, terminate, kill };
struct StopStep {
    StopAction action;
    ChildClock::duration limit;
};

// How a served child's run ended.
enum class ServedEnd {
    ended,       // during the first step, and its output reached its end
    endedOnStop, // during a later step, and its output reached its end
    outlived,    // not by the last step, or the steps could not be waited through: it is killed and
                 // reaped once it ends, after the call has returned
    outputHeld,  // ended, but its output did not reach its end within the grace (a process it left
                 // behind holds the pipe)
    notStarted,
};

struct ServedChild {
    ServedEnd end;
    ChildEnd exit; // for `ended` and `endedOnStop`
};

// Receives each piece of the child's standard output; false once it takes no more, after which the rest
// is never read and the child gets SIGTERM.
using ChildOutputSink = std::function<bool(std::string_view)>;

// Starts the child with its standard input and output piped and serves both from the caller's thread:
// `input` is written (the pipe is closed once all is written, or when the child refuses it, and never
// raises SIGPIPE) and the output handed to `output`, while `steps` are taken in order from the moment of
// the start until the child has ended; then its output is read to its end for up to `outputGrace`.
// Until it returns, a signal that would end the caller stops the child first.
ServedChild serveChild(const ChildLaunch& launch, std::string_view input, std::span<const StopStep> steps,
                       ChildClock::duration outputGrace, const ChildOutputSink& output);

// The closed environments of the children the programs start: which of the running program's own
// variables each child is given. Beside identity and locale these are the names through which a Linux
// process finds what a macOS process reaches without being told (the window server, the keychain, the
// input method, the screen's scale, the launch feedback) in the user's desktop session. Every other
// variable stays out.

// The children that get a closed environment.
enum class ClosedEnvironment {
    // The application's Node program, started by the launcher: its helper runs show dialogs and reach
    // the keychain.
    application,
    // The GitHub CLI, whose fixed entries its caller adds: it reaches the keychain and opens the browser,
    // but shows no window of its own and reads no typed text.
    gitHubCli,
};

// The variables of the running program that the child is given, in their fixed order, each only when
// present, an empty value included.
ChildEnvironment takenOverVariables(ClosedEnvironment child);
