// Waiting for a child and stopping it: step by step for a run over its limit, and before its caller
// ends when a signal ends the caller.
#include "platform/child/stop.h"
#include "platform/interrupted.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <mutex>
#include <poll.h>
#include <sys/wait.h>

// glibc 2.36 declares these without C linkage for C++.
extern "C" {
#include <sys/pidfd.h>
}

int millisecondsUntil(ChildClock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - ChildClock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 60'000));
}

void signalChild(int process, int signal) {
    pidfd_send_signal(process, signal, nullptr, 0);
}

bool awaitChildEnd(int process, ChildClock::time_point deadline) {
    // A process descriptor turns readable once its process has ended. poll's time-out runs on the
    // monotonic clock, and the time left is worked out anew after every wake.
    for (;;) {
        pollfd ended{process, POLLIN, 0};
        int ready = poll(&ended, 1, millisecondsUntil(deadline));
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
        if (ready == 0 && ChildClock::now() >= deadline)
            return false;
    }
}

ChildEnd collectChild(int process) {
    siginfo_t info{};
    if (retryingInterrupted([&] { return waitid(P_PIDFD, static_cast<id_t>(process), &info, WEXITED); }) != 0)
        return {};
    // An exit gives its status; a signal, like macOS's terminationStatus, the signal's number.
    return {info.si_status, info.si_code != CLD_EXITED};
}

int signalOf(StopAction action) {
    switch (action) {
    case StopAction::wait:
        return 0;
    case StopAction::terminate:
        return SIGTERM;
    case StopAction::kill:
        return SIGKILL;
    }
    return 0;
}

namespace {

// The children whose callers would end by one of these signals. A slot holds a process descriptor plus
// one, zero when free and -1 while reserved for a child not yet started; only atomic loads and stores
// touch them, which a handler may do.
constexpr std::array<int, 3> stopSignals{SIGTERM, SIGINT, SIGHUP};
std::array<std::atomic<int>, 64> guardedChildren{};
std::mutex guardLock;
int guards = 0;
std::array<bool, stopSignals.size()> guarding{};

constexpr std::array<StopStep, 2> callerEndingStop{
    {{StopAction::terminate, std::chrono::seconds(1)}, {StopAction::kill, std::chrono::seconds(1)}}};

void stopGuardedChildrenThenEnd(int signal) {
    for (auto& slot : guardedChildren) {
        if (int held = slot.load(); held > 0)
            stopChild(held - 1, callerEndingStop,
                      [held](ChildClock::time_point deadline) { return awaitChildEnd(held - 1, deadline); });
    }
    // Back to the default, and the signal again: once this handler returns it ends the caller.
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    sigaction(signal, &standard, nullptr);
    raise(signal);
}

void installGuard() {
    for (std::size_t i = 0; i < stopSignals.size(); ++i) {
        struct sigaction current {};
        sigaction(stopSignals[i], nullptr, &current);
        guarding[i] = !(current.sa_flags & SA_SIGINFO) && current.sa_handler == SIG_DFL;
        if (!guarding[i])
            continue;
        struct sigaction stop {};
        stop.sa_handler = stopGuardedChildrenThenEnd;
        sigfillset(&stop.sa_mask);
        sigaction(stopSignals[i], &stop, nullptr);
    }
}

void removeGuard() {
    for (std::size_t i = 0; i < stopSignals.size(); ++i) {
        if (!guarding[i])
            continue;
        struct sigaction standard {};
        standard.sa_handler = SIG_DFL;
        sigaction(stopSignals[i], &standard, nullptr);
        guarding[i] = false;
    }
}

std::atomic<int> passedOnTo{0}; // the process descriptor plus one of the child that gets the signals

void passOn(int signal) {
    if (int held = passedOnTo.load(); held > 0)
        signalChild(held - 1, signal);
}

} // namespace

StopChildWithCaller::StopChildWithCaller() : slot(-1) {
    std::lock_guard held(guardLock);
    for (std::size_t i = 0; i < guardedChildren.size() && slot < 0; ++i) {
        int free = 0;
        if (guardedChildren[i].compare_exchange_strong(free, -1))
            slot = static_cast<int>(i);
    }
    // With every slot taken the child still ends with the caller, by its parent-death signal.
    if (slot >= 0 && guards++ == 0)
        installGuard();
}

void StopChildWithCaller::guard(int process) {
    if (slot >= 0)
        guardedChildren[static_cast<std::size_t>(slot)].store(process + 1);
}

StopChildWithCaller::~StopChildWithCaller() {
    if (slot < 0)
        return;
    std::lock_guard held(guardLock);
    guardedChildren[static_cast<std::size_t>(slot)].store(0);
    if (--guards == 0)
        removeGuard();
}

ChildEnd collectChildPassingStops(int process) {
    passedOnTo.store(process + 1);
    std::array<struct sigaction, stopSignals.size()> previous{};
    struct sigaction pass {};
    pass.sa_handler = passOn;
    sigfillset(&pass.sa_mask);
    for (std::size_t i = 0; i < stopSignals.size(); ++i)
        sigaction(stopSignals[i], &pass, &previous[i]);
    auto end = collectChild(process);
    for (std::size_t i = 0; i < stopSignals.size(); ++i)
        sigaction(stopSignals[i], &previous[i], nullptr);
    passedOnTo.store(0);
    return end;
}
