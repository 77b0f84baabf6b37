// Starting a child: its descriptors, signals and environment prepared beforehand, the clone that shares
// the caller's memory until the exec, and SIGCHLD put back at its default for a program that collects its
// children's statuses. Serving a started child's pipes is serve.cpp's.
#include "platform/child/child.h"
#include "platform/interrupted.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <memory>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

struct Pipe {
    OwnedDescriptor read;
    OwnedDescriptor write;
};

// A descriptor at 3 or above, so that placing the child's standard descriptors cannot overwrite it.
bool keepAboveStandard(OwnedDescriptor& fd) {
    if (fd.get() > 2)
        return true;
    fd = OwnedDescriptor(fcntl(fd.get(), F_DUPFD_CLOEXEC, 3));
    return fd.valid();
}

std::optional<Pipe> makePipe() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return std::nullopt;
    Pipe pipe{OwnedDescriptor(ends[0]), OwnedDescriptor(ends[1])};
    if (!keepAboveStandard(pipe.read) || !keepAboveStandard(pipe.write))
        return std::nullopt;
    return pipe;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    for (auto& text : texts)
        result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

// Everything the new child needs, prepared before it exists: between the clone and the exec it may only
// make system calls, since another thread of the caller may have held the allocator's lock.
struct Preparation {
    std::array<int, 3> sources{-1, -1, -1}; // what becomes descriptor 0, 1 and 2; -1 closes it
    std::array<bool, 3> inherited{};
    std::array<Pipe, 3> pipes;
    std::array<OwnedDescriptor, 3> given; // copies above the standard numbers
    OwnedDescriptor nullDevice;
    OwnedDescriptor executable;
    OwnedDescriptor errorReport; // the child writes its errno here when it cannot exec
    std::vector<std::string> argv;
    std::vector<std::string> envp;
};

bool prepareStream(Preparation& preparation, int number, ChildStream stream, int given) {
    switch (stream) {
    case ChildStream::given:
        preparation.given[number] = OwnedDescriptor(fcntl(given, F_DUPFD_CLOEXEC, 3));
        preparation.sources[number] = preparation.given[number].get();
        return preparation.given[number].valid();
    case ChildStream::pipe: {
        auto pipe = makePipe();
        if (!pipe)
            return false;
        preparation.pipes[number] = std::move(*pipe);
        auto& ends = preparation.pipes[number];
        preparation.sources[number] = number == 0 ? ends.read.get() : ends.write.get();
        return true;
    }
    case ChildStream::nullDevice:
        if (!preparation.nullDevice.valid()) {
            preparation.nullDevice = OwnedDescriptor(open("/dev/null", O_RDWR | O_CLOEXEC));
            if (!keepAboveStandard(preparation.nullDevice))
                return false;
        }
        preparation.sources[number] = preparation.nullDevice.get();
        return true;
    case ChildStream::inherited:
        preparation.inherited[number] = true;
        return true;
    case ChildStream::closed:
        return true;
    }
    return false;
}

// Both kept descriptors are above the standard ones.
void closeAllAboveStandardBut(int one, int other) {
    unsigned from = 3;
    for (int kept : {std::min(one, other), std::max(one, other)}) {
        if (static_cast<unsigned>(kept) > from)
            close_range(from, static_cast<unsigned>(kept) - 1, 0);
        from = std::max(from, static_cast<unsigned>(kept) + 1);
    }
    close_range(from, ~0U, 0);
}

// Every disposition back to the default, by the system call itself: glibc's sigaction refuses its own
// two signals, and a sanitizer's interception of it may change what is asked.
void resetEverySignal() {
    struct {
        void (*handler)(int);
        unsigned long flags;
        void (*restorer)();
        std::uint64_t mask;
    } standard{SIG_DFL, 0, nullptr, 0};
    for (int signal = 1; signal < NSIG; ++signal) {
        if (signal != SIGKILL && signal != SIGSTOP)
            syscall(SYS_rt_sigaction, signal, &standard, nullptr, sizeof standard.mask);
    }
}

// The child runs on a stack of its own that AddressSanitizer does not know: its check before every call
// that does not return would warn of false reports on the child's standard error. The child makes
// system calls only, so there is nothing for it to check there.
#define CHILD_UNCHECKED [[gnu::no_sanitize_address]]

CHILD_UNCHECKED [[noreturn]] void failInChild(int errorReport) {
    int error = errno;
    (void)!write(errorReport, &error, sizeof error);
    _exit(127);
}

// In the child, from the clone to the exec: system calls only.
CHILD_UNCHECKED [[noreturn]] void becomeChild(const Preparation& preparation, const ChildLaunch& launch,
                                              pid_t parent, char* const* argv, char* const* envp,
                                              const char* path) {
    int report = preparation.errorReport.get();
    resetEverySignal();
    if (launch.endsWithStarter) {
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0)
            failInChild(report);
        // The starter may have ended before the request took effect.
        if (getppid() != parent)
            _exit(127);
    }
    for (int number = 0; number < 3; ++number) {
        if (preparation.inherited[number]) {
            fcntl(number, F_SETFD, 0); // the caller's own descriptor, kept across the exec
        } else if (preparation.sources[number] < 0) {
            close(number);
        } else if (dup2(preparation.sources[number], number) < 0) {
            failInChild(report);
        }
    }
    // Descriptors the caller opened without close-on-exec must not reach the child either. The
    // executable's and the report's are closed by the exec itself.
    closeAllAboveStandardBut(report, preparation.executable.valid() ? preparation.executable.get() : report);
    if (!launch.workingDirectory.empty() && chdir(launch.workingDirectory.c_str()) != 0)
        failInChild(report);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (preparation.executable.valid())
        fexecve(preparation.executable.get(), argv, envp);
    else
        execve(path, argv, envp);
    failInChild(report);
}

// What the child runs on its own stack until the exec.
struct ChildStart {
    const Preparation* preparation;
    const ChildLaunch* launch;
    pid_t parent;
    char* const* argv;
    char* const* envp;
    const char* path;
};

CHILD_UNCHECKED int startInChild(void* start) {
    auto& child = *static_cast<const ChildStart*>(start);
    becomeChild(*child.preparation, *child.launch, child.parent, child.argv, child.envp, child.path);
}

// Room for the child's few calls before the exec, sanitizer frames included.
constexpr std::size_t childStackSize = 256 * 1024;

// The child shares the caller's memory, as posix_spawn's does, and the caller's thread waits until it
// has exec'd or ended: copying the caller's page tables, and the copy-on-write faults that follow, is
// most of what starting a short child costs. Its process descriptor comes with it: there is no moment
// at which only a reusable identifier refers to the child.
pid_t cloneWithProcessDescriptor(ChildStart& start, int& process) {
    // Left uninitialised: the child touches only the little it uses.
    std::unique_ptr<std::byte[]> stack(new std::byte[childStackSize]);
    // The stack grows down on every architecture Debian builds this for; the top stays 16-byte aligned.
    auto top = reinterpret_cast<std::uintptr_t>(stack.get() + childStackSize) & ~std::uintptr_t{15};
    return clone(startInChild, reinterpret_cast<void*>(top), CLONE_VM | CLONE_VFORK | CLONE_PIDFD | SIGCHLD,
                 &start, &process);
}

// Whether the child reached its exec: the report pipe closes on the exec, or carries its errno.
bool reachedExec(int errorReport) {
    int error = 0;
    return retryingInterrupted([&] { return read(errorReport, &error, sizeof error); }) == 0;
}

bool makeNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

} // namespace

std::optional<StartedChild> startChild(const ChildLaunch& launch) {
    Preparation preparation;
    const ChildStream streams[] = {launch.input, launch.output, launch.error};
    for (int number = 0; number < 3; ++number) {
        if (!prepareStream(preparation, number, streams[number], launch.givenDescriptors[number]))
            return std::nullopt;
    }
    if (launch.executableDescriptor >= 0) {
        preparation.executable = OwnedDescriptor(fcntl(launch.executableDescriptor, F_DUPFD_CLOEXEC, 3));
        if (!preparation.executable.valid())
            return std::nullopt;
    }
    auto report = makePipe();
    if (!report)
        return std::nullopt;
    preparation.errorReport = std::move(report->write);
    preparation.argv.push_back(launch.executable);
    preparation.argv.insert(preparation.argv.end(), launch.arguments.begin(), launch.arguments.end());
    for (const auto& [name, value] : launch.environment)
        preparation.envp.push_back(name + "=" + value);
    auto argv = pointers(preparation.argv);
    auto envp = pointers(preparation.envp);

    // No handler of the caller may run in the child before the child has reset them all.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pid_t parent = getpid();
    int process = -1;
    ChildStart start{&preparation, &launch, parent, argv.data(), envp.data(), launch.executable.c_str()};
    pid_t pid = cloneWithProcessDescriptor(start, process);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (pid < 0)
        return std::nullopt;

    StartedChild child{pid, OwnedDescriptor(process)};
    preparation.errorReport.reset();
    if (!reachedExec(report->read.get())) {
        collectChild(child.process.get());
        return std::nullopt;
    }
    child.input = std::move(preparation.pipes[0].write);
    child.output = std::move(preparation.pipes[1].read);
    child.error = std::move(preparation.pipes[2].read);
    // Only the caller's end may be non-blocking: the child's end is a separate open file.
    if (child.input.valid() && !makeNonBlocking(child.input.get())) {
        signalChild(child.process.get(), SIGKILL);
        collectChild(child.process.get());
        return std::nullopt;
    }
    return child;
}

void restoreChildEndSignal() {
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    sigaction(SIGCHLD, &standard, nullptr);
}
