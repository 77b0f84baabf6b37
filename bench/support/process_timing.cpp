#include "bench/support/process_timing.h"

#include "platform/child_process.h"

#include <csignal>
#include <unistd.h>

int runOnce(const TimedCall& call) {
    std::signal(SIGPIPE, SIG_IGN);
    auto child = startChild(
        {.executable = call.program, .arguments = call.arguments, .environment = callerEnvironment()});
    if (!child)
        return -1;
    // No time limit: a benchmark that hangs is a fault to see, not to hide.
    writeChildInput(child->input.get(), child->process.get(), call.input, ChildClock::time_point::max());
    child->input.reset();
    char buffer[65536];
    while (readChildOutput(child->output.get(), buffer, sizeof buffer) > 0) {
    }
    auto end = collectChild(child->process.get());
    return end.bySignal ? -1 : end.status;
}

std::string benchBundleProgram(const std::string& name) {
    return std::string(DOVREL_BENCH_BUNDLE) + "/Contents/Resources/bin/" + name;
}
