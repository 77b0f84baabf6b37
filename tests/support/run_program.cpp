#include "tests/support/run_program.h"

#include "platform/interrupted.h"
#include "platform/streams.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

ProgramRun runProgram(const ProgramCall& call) {
    ignoreBrokenPipes();
    auto child =
        startChild({.executable = call.program,
                    .arguments = call.arguments,
                    .environment = call.environment ? environmentOf(*call.environment) : callerEnvironment(),
                    .input = call.closeInputAtStart ? ChildStream::closed : ChildStream::pipe,
                    .output = ChildStream::pipe,
                    .error = ChildStream::pipe});
    if (!child)
        throw std::runtime_error("cannot start " + call.program);
    OwnedDescriptor& in = child->input;
    OwnedDescriptor& out = child->output;
    OwnedDescriptor& err = child->error;
    if (call.closeOutputAtStart)
        out.reset();
    if (call.input.empty())
        in.reset();

    ProgramRun run;
    size_t written = 0;
    auto deadline = ChildClock::now() + call.timeout;
    while (in.valid() || out.valid() || err.valid()) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - ChildClock::now());
        if (left.count() <= 0) {
            run.timedOut = true;
            signalChild(child->process.get(), SIGKILL);
            break;
        }
        pollfd fds[3] = {{in.get(), POLLOUT, 0}, {out.get(), POLLIN, 0}, {err.get(), POLLIN, 0}};
        if (poll(fds, 3, static_cast<int>(std::min<long long>(left.count(), 60'000))) < 0 && errno != EINTR)
            break;
        if (in.valid() && (fds[0].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t count = write(in.get(), call.input.data() + written, call.input.size() - written);
            if (count > 0)
                written += static_cast<size_t>(count);
            if ((count < 0 && errno != EAGAIN) || written == call.input.size())
                in.reset();
        }
        OwnedDescriptor* readers[2] = {&out, &err};
        std::string* sinks[2] = {&run.out, &run.err};
        for (int i = 0; i < 2; ++i) {
            if (!readers[i]->valid() || !(fds[i + 1].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buffer[65536];
            ssize_t count = read(readers[i]->get(), buffer, sizeof buffer);
            if (count > 0)
                sinks[i]->append(buffer, static_cast<size_t>(count));
            else if (count == 0 || errno != EINTR)
                readers[i]->reset();
        }
    }
    in.reset();
    out.reset();
    err.reset();

    // The system call itself, for the peak memory glibc's waitid leaves out.
    siginfo_t info{};
    rusage usage{};
    retryingInterrupted(
        [&] { return syscall(SYS_waitid, P_PIDFD, child->process.get(), &info, WEXITED, &usage); });
    run.maxResidentKb = usage.ru_maxrss;
    if (info.si_code == CLD_EXITED)
        run.exitStatus = info.si_status;
    else
        run.signal = info.si_status;
    return run;
}

ChildEnvironment environmentOf(const std::vector<std::string>& entries) {
    ChildEnvironment environment;
    for (const auto& entry : entries) {
        auto equals = entry.find('=');
        environment.emplace_back(entry.substr(0, equals),
                                 equals == std::string::npos ? std::string() : entry.substr(equals + 1));
    }
    return environment;
}

ChildEnvironment callerEnvironment() {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry)
        entries.emplace_back(*entry);
    return environmentOf(entries);
}

bool writeChildInput(int input, int process, std::string_view bytes) {
    ignoreBrokenPipes();
    while (!bytes.empty()) {
        ssize_t count = write(input, bytes.data(), bytes.size());
        if (count > 0) {
            bytes.remove_prefix(static_cast<size_t>(count));
            continue;
        }
        if (count < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd waits[2] = {{input, POLLOUT, 0}, {process, POLLIN, 0}};
        if (poll(waits, 2, -1) > 0 && (waits[1].revents & POLLIN) && !(waits[0].revents & POLLOUT))
            return false; // the child ended without reading the rest
    }
    return true;
}

std::size_t readChildOutput(int output, char* buffer, std::size_t size) {
    ssize_t count = retryingInterrupted([&] { return read(output, buffer, size); });
    return count > 0 ? static_cast<std::size_t>(count) : 0;
}

StartedChild startInBackground(const std::string& program, const std::vector<std::string>& arguments,
                               const std::string& input, const std::vector<std::string>& environment) {
    auto child = startChild({.executable = program,
                             .arguments = arguments,
                             .environment = environmentOf(environment),
                             .output = ChildStream::nullDevice});
    if (!child)
        throw std::runtime_error("cannot start " + program);
    writeChildInput(child->input.get(), child->process.get(), input);
    child->input.reset();
    return std::move(*child);
}

std::vector<pid_t> childrenOf(pid_t pid) {
    std::vector<pid_t> children;
    std::error_code error;
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        std::ifstream list(task.path() / "children");
        for (pid_t child; list >> child;)
            children.push_back(child);
    }
    return children;
}

OwnedDescriptor watchProcess(pid_t pid) {
    return OwnedDescriptor(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
}

bool eventually(const std::function<bool()>& holds) {
    auto deadline = ChildClock::now() + hangLimit;
    while (!holds()) {
        if (ChildClock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
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

std::vector<std::string> bundleEntries() {
    std::vector<std::string> entries;
    std::string_view list = DOVREL_TEST_BUNDLE_ENTRIES;
    for (std::size_t start = 0; start <= list.size();) {
        auto end = std::min(list.find(':', start), list.size());
        entries.emplace_back(list.substr(start, end - start));
        start = end + 1;
    }
    return entries;
}

std::string bundleEntry(const std::string& name) {
    for (const auto& entry : bundleEntries())
        if (std::filesystem::path(entry).filename() == name)
            return bundlePath() + "/" + entry;
    throw std::invalid_argument(name + " is no entry of the bundle");
}

std::string bundleProgram(const std::string& name) {
    return bundleEntry(name);
}

std::string fixturesPath() {
    return DOVREL_TEST_FIXTURES;
}

bool insideSessionServices() {
    const char* flag = std::getenv("DOVREL_SESSION_SERVICES");
    return flag != nullptr && std::string(flag) == "1";
}

std::string ask(const std::string& request, std::optional<std::vector<std::string>> environment,
                const std::string& helper) {
    auto run = runProgram({.program = helper, .input = request, .environment = environment});
    EXPECT_FALSE(run.timedOut) << request;
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.err, "");
    return run.out;
}

std::string request(const std::string& operation, const std::string& account, const std::string& extra) {
    return R"({"operation":")" + operation + R"(","account":")" + account + "\"" + extra + "}";
}

std::string writeRequest(const std::string& account, const std::string& values) {
    return request("write", account, R"(,"values":)" + values);
}

ProgramRun pidlens(const std::vector<std::string>& arguments) {
    return runProgram({bundleProgram("pidlens"), arguments});
}

std::string makeScratchFolder(const std::string& prefix) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && base[0] == '/' ? base : "/tmp") + "/" + prefix + ".XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    return pattern;
}
