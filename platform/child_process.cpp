#include "platform/child_process.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>

// glibc 2.36 declares these without C linkage for C++.
extern "C" {
#include <sys/pidfd.h>
}

namespace {

struct Pipe {
    OwnedDescriptor read;
    OwnedDescriptor write;
};

std::optional<Pipe> makePipe() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return std::nullopt;
    return Pipe{OwnedDescriptor(ends[0]), OwnedDescriptor(ends[1])};
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    for (auto& text : texts)
        result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

// Owns the posix_spawn descriptions so that every return path destroys them.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

bool describeDescriptors(posix_spawn_file_actions_t* actions, const ChildLaunch& launch, int executable,
                         int input, int output) {
    if (posix_spawn_file_actions_adddup2(actions, input, 0) != 0 ||
        posix_spawn_file_actions_adddup2(actions, output, 1) != 0 ||
        posix_spawn_file_actions_addopen(actions, 2, "/dev/null", O_WRONLY, 0) != 0)
        return false;
    if (!launch.workingDirectory.empty() &&
        posix_spawn_file_actions_addchdir_np(actions, launch.workingDirectory.c_str()) != 0)
        return false;
    // Descriptors the caller opened without close-on-exec must not reach the child either. The
    // executable's own descriptor has to stay open until the exec, which closes it (close-on-exec).
    if (executable < 0)
        return posix_spawn_file_actions_addclosefrom_np(actions, 3) == 0;
    for (int fd = 3; fd < executable; ++fd) {
        if (posix_spawn_file_actions_addclose(actions, fd) != 0)
            return false;
    }
    return posix_spawn_file_actions_addclosefrom_np(actions, executable + 1) == 0;
}

bool describeSignals(posix_spawnattr_t* attributes) {
    // Ignored signals and the signal mask survive exec; the child starts from the defaults instead.
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    return posix_spawnattr_setsigdefault(attributes, &all) == 0 &&
           posix_spawnattr_setsigmask(attributes, &none) == 0 &&
           posix_spawnattr_setflags(attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK) == 0;
}

void reapAfterKill(pid_t pid) {
    // The child is ours and not yet reaped, so its identifier cannot have been reused.
    kill(pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

} // namespace

std::optional<StartedChild> startChild(const ChildLaunch& launch) {
    auto input = makePipe();
    auto output = makePipe();
    if (!input || !output)
        return std::nullopt;
    // A caller started with a standard descriptor closed may hold the executable under that number,
    // which the child's redirections would replace before the exec.
    int executable = launch.executableDescriptor;
    OwnedDescriptor movedExecutable;
    if (executable >= 0 && executable <= 2) {
        movedExecutable = OwnedDescriptor(fcntl(executable, F_DUPFD_CLOEXEC, 3));
        if (!movedExecutable.valid())
            return std::nullopt;
        executable = movedExecutable.get();
    }
    SpawnSetup setup;
    if (!describeDescriptors(&setup.actions, launch, executable, input->read.get(), output->write.get()) ||
        !describeSignals(&setup.attributes))
        return std::nullopt;

    std::string path = launch.executable;
    if (executable >= 0)
        path = "/proc/self/fd/" + std::to_string(executable);
    std::vector<std::string> argv{launch.executable};
    argv.insert(argv.end(), launch.arguments.begin(), launch.arguments.end());
    std::vector<std::string> envp;
    for (const auto& [name, value] : launch.environment)
        envp.push_back(name + "=" + value);
    auto argvPointers = pointers(argv);
    auto envpPointers = pointers(envp);

    pid_t pid = -1;
    if (posix_spawn(&pid, path.c_str(), &setup.actions, &setup.attributes, argvPointers.data(),
                    envpPointers.data()) != 0)
        return std::nullopt;
    OwnedDescriptor process(pidfd_open(pid, 0));
    if (!process.valid()) {
        reapAfterKill(pid);
        return std::nullopt;
    }
    // Only the parent's end may be non-blocking: the child's end is a separate open file.
    int flags = fcntl(input->write.get(), F_GETFL);
    if (flags < 0 || fcntl(input->write.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
        signalChild(process.get(), SIGKILL);
        awaitChildEnd(process.get());
        return std::nullopt;
    }
    return StartedChild{std::move(process), std::move(input->write), std::move(output->read)};
}

void signalChild(int process, int signal) {
    pidfd_send_signal(process, signal, nullptr, 0);
}

int awaitChildEnd(int process) {
    siginfo_t info{};
    for (;;) {
        if (waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(process), &info, WEXITED) == 0)
            break;
        if (errno != EINTR)
            return -1;
    }
    // An exit gives its status; a signal, like macOS's terminationStatus, the signal's number.
    return info.si_status;
}

bool writeChildInput(int input, int process, std::string_view bytes,
                     std::chrono::steady_clock::time_point deadline) {
    // SIGPIPE is blocked on this thread alone, and one raised by a write into a closed pipe is taken
    // back before the mask is restored, so the caller's signal handling stays as it was.
    sigset_t pipeSignal, previous;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    bool brokenPipe = false;
    std::size_t written = 0;
    while (written < bytes.size()) {
        ssize_t count = write(input, bytes.data() + written, bytes.size() - written);
        if (count > 0) {
            written += static_cast<std::size_t>(count);
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && errno != EAGAIN) {
            brokenPipe = errno == EPIPE;
            break;
        }
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd waits[2] = {{input, POLLOUT, 0}, {process, POLLIN, 0}};
        int ready = poll(waits, 2, static_cast<int>(std::min<long long>(left.count(), 60'000)));
        if (ready < 0 && errno != EINTR)
            break;
        if (ready > 0 && (waits[1].revents & POLLIN) && !(waits[0].revents & (POLLOUT | POLLERR)))
            break; // the child has ended without reading the rest
    }
    if (brokenPipe && !sigismember(&previous, SIGPIPE)) {
        timespec now{0, 0};
        sigtimedwait(&pipeSignal, nullptr, &now);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return written == bytes.size();
}

std::size_t readChildOutput(int output, char* buffer, std::size_t size) {
    for (;;) {
        ssize_t count = read(output, buffer, size);
        if (count >= 0)
            return static_cast<std::size_t>(count);
        if (errno != EINTR)
            return 0;
    }
}
