#include "tests/support/run_program.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

struct Pipe {
    int read = -1;
    int write = -1;
};

Pipe makePipe() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");
    return {ends[0], ends[1]};
}

void closeIfOpen(int& fd) {
    if (fd >= 0)
        close(fd);
    fd = -1;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    for (auto& text : texts)
        result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

} // namespace

ProgramRun runProgram(const ProgramCall& call) {
    std::signal(SIGPIPE, SIG_IGN);
    Pipe in = makePipe(), out = makePipe(), err = makePipe();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (call.closeInputAtStart)
        posix_spawn_file_actions_addclose(&actions, 0);
    else
        posix_spawn_file_actions_adddup2(&actions, in.read, 0);
    posix_spawn_file_actions_adddup2(&actions, out.write, 1);
    posix_spawn_file_actions_adddup2(&actions, err.write, 2);

    std::vector<std::string> argv{call.program};
    argv.insert(argv.end(), call.arguments.begin(), call.arguments.end());
    std::vector<std::string> envp;
    if (call.environment)
        envp = *call.environment;
    else
        for (char** entry = environ; *entry != nullptr; ++entry)
            envp.emplace_back(*entry);
    auto argvPointers = pointers(argv);
    auto envPointers = pointers(envp);

    pid_t pid = -1;
    int spawned =
        posix_spawn(&pid, call.program.c_str(), &actions, nullptr, argvPointers.data(), envPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    closeIfOpen(in.read);
    closeIfOpen(out.write);
    closeIfOpen(err.write);
    if (spawned != 0) {
        closeIfOpen(in.write);
        closeIfOpen(out.read);
        closeIfOpen(err.read);
        throw std::runtime_error("cannot start " + call.program + ": " + std::strerror(spawned));
    }
    if (call.closeOutputAtStart)
        closeIfOpen(out.read);
    if (call.input.empty())
        closeIfOpen(in.write);
    else
        fcntl(in.write, F_SETFL, O_NONBLOCK);

    ProgramRun run;
    size_t written = 0;
    auto deadline = std::chrono::steady_clock::now() + call.timeout;
    while (in.write >= 0 || out.read >= 0 || err.read >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            run.timedOut = true;
            kill(pid, SIGKILL);
            break;
        }
        pollfd fds[3] = {{in.write, POLLOUT, 0}, {out.read, POLLIN, 0}, {err.read, POLLIN, 0}};
        if (poll(fds, 3, static_cast<int>(left.count())) < 0 && errno != EINTR)
            break;
        if (in.write >= 0 && (fds[0].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t count = write(in.write, call.input.data() + written, call.input.size() - written);
            if (count > 0)
                written += static_cast<size_t>(count);
            if ((count < 0 && errno != EAGAIN) || written == call.input.size())
                closeIfOpen(in.write);
        }
        int* readers[2] = {&out.read, &err.read};
        std::string* sinks[2] = {&run.out, &run.err};
        for (int i = 0; i < 2; ++i) {
            if (*readers[i] < 0 || !(fds[i + 1].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buffer[65536];
            ssize_t count = read(*readers[i], buffer, sizeof buffer);
            if (count > 0)
                sinks[i]->append(buffer, static_cast<size_t>(count));
            else if (count == 0 || errno != EINTR)
                closeIfOpen(*readers[i]);
        }
    }
    closeIfOpen(in.write);
    closeIfOpen(out.read);
    closeIfOpen(err.read);

    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    run.maxResidentKb = usage.ru_maxrss;
    if (WIFEXITED(status))
        run.exitStatus = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        run.signal = WTERMSIG(status);
    return run;
}

std::vector<std::string> environmentWith(const std::vector<std::string>& changes) {
    std::vector<std::string> result;
    auto nameOf = [](const std::string& entry) {
        return entry.substr(0, entry.find('='));
    };
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string text = *entry;
        bool replaced = false;
        for (const auto& change : changes)
            replaced = replaced || nameOf(change) == nameOf(text);
        if (!replaced)
            result.push_back(text);
    }
    for (const auto& change : changes)
        if (change.find('=') != std::string::npos)
            result.push_back(change);
    return result;
}

std::string bundlePath() {
    return DOVREL_TEST_BUNDLE;
}

std::string bundleProgram(const std::string& name) {
    return bundlePath() + "/Contents/Resources/bin/" + name;
}

std::string fixturesPath() {
    return DOVREL_TEST_FIXTURES;
}

bool insideSessionServices() {
    const char* flag = std::getenv("DOVREL_SESSION_SERVICES");
    return flag != nullptr && std::string(flag) == "1";
}

std::string makeScratchFolder(const std::string& prefix) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && base[0] == '/' ? base : "/tmp") + "/" + prefix + ".XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    return pattern;
}
