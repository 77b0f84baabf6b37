// Stopping a started child in steps, and stopping it when its caller is ended by a signal: what the code
// that serves children builds on.
#pragma once

#include "platform/child/child.h"

#include <cstddef>

// poll's time-out for the time left until `deadline`: at most a minute, so that a long wait is taken in
// pieces, each against the deadline anew.
int millisecondsUntil(ChildClock::time_point deadline);

// The signal a stop step sends: none for a wait.
int signalOf(StopAction action);

// Takes the steps in order until the child has ended, with `awaitEnd(deadline)` as each step's wait (true
// once the child has ended), for a caller that has the child's pipes to serve while it waits. Gives the
// index of the step during which it ended, or the number of steps when it outlived them all.
template <typename AwaitEnd>
std::size_t stopChild(int process, std::span<const StopStep> steps, AwaitEnd&& awaitEnd) {
    for (std::size_t step = 0; step < steps.size(); ++step) {
        if (int signal = signalOf(steps[step].action); signal != 0)
            signalChild(process, signal);
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
