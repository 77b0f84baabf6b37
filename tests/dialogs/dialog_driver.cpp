#include "tests/dialogs/dialog_driver.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

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

void writeAll(int fd, const std::string& bytes) {
    size_t written = 0;
    while (written < bytes.size()) {
        ssize_t count = write(fd, bytes.data() + written, bytes.size() - written);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return;
        written += static_cast<size_t>(count);
    }
}

// Reads the first line a program writes, waiting at most `limit`.
std::string firstLine(int fd, std::chrono::milliseconds limit) {
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (line.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        pollfd ready{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0)
            break;
        char c = 0;
        if (read(fd, &c, 1) != 1)
            break;
        line += c;
    }
    return line;
}

std::string xdotool(const std::vector<std::string>& arguments) {
    auto run = runProgram(
        {.program = "/usr/bin/xdotool", .arguments = arguments, .timeout = std::chrono::seconds(20)});
    auto out = run.out;
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

} // namespace

StartedProgram startProgram(const ProgramCall& call, bool keepInputOpen) {
    std::signal(SIGPIPE, SIG_IGN);
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
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

    StartedProgram program;
    int spawned = posix_spawn(&program.pid, call.program.c_str(), &actions, nullptr, argvPointers.data(),
                              envPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    program.input = in[1];
    program.output = out[0];
    program.errors = err[0];
    if (spawned != 0) {
        finishProgram(program);
        throw std::runtime_error("cannot start " + call.program);
    }
    // The programs driven here read all of their input before they show anything.
    writeAll(program.input, call.input);
    if (!keepInputOpen)
        closeIfOpen(program.input);
    return program;
}

ProgramRun finishProgram(StartedProgram& program, std::chrono::milliseconds limit) {
    closeIfOpen(program.input);
    ProgramRun run;
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (program.output >= 0 || program.errors >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            run.timedOut = true;
            if (program.pid > 0)
                kill(program.pid, SIGKILL);
            break;
        }
        pollfd fds[2] = {{program.output, POLLIN, 0}, {program.errors, POLLIN, 0}};
        if (poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR)
            break;
        int* readers[2] = {&program.output, &program.errors};
        std::string* sinks[2] = {&run.out, &run.err};
        for (int i = 0; i < 2; ++i) {
            if (*readers[i] < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buffer[65536];
            ssize_t count = read(*readers[i], buffer, sizeof buffer);
            if (count > 0)
                sinks[i]->append(buffer, static_cast<size_t>(count));
            else if (count == 0 || errno != EINTR)
                closeIfOpen(*readers[i]);
        }
    }
    closeIfOpen(program.output);
    closeIfOpen(program.errors);
    if (program.pid <= 0)
        return run;
    int status = 0;
    while (waitpid(program.pid, &status, 0) < 0 && errno == EINTR) {
    }
    program.pid = -1;
    if (WIFEXITED(status))
        run.exitStatus = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        run.signal = WTERMSIG(status);
    return run;
}

std::string windowOf(pid_t pid) {
    auto found = xdotool({"search", "--sync", "--onlyvisible", "--pid", std::to_string(pid)});
    return found.substr(0, found.find('\n'));
}

std::string windowName(const std::string& window) {
    return xdotool({"getwindowname", window});
}

void pressKeys(const std::string& window, const std::vector<std::string>& keys) {
    xdotool({"windowfocus", "--sync", window});
    std::vector<std::string> arguments{"key", "--clearmodifiers"};
    arguments.insert(arguments.end(), keys.begin(), keys.end());
    xdotool(arguments);
}

void typeText(const std::string& window, const std::string& text) {
    xdotool({"windowfocus", "--sync", window});
    xdotool({"type", "--delay", "20", text});
}

std::string copiedText(const std::string& window, const std::vector<std::string>& keys) {
    // The reader watches for the clipboard's new owner before the keys are sent, so no copy is missed.
    auto reader = startProgram({.program = fixturesPath() + "/clipboard-text"}, true);
    if (firstLine(reader.output, std::chrono::seconds(20)) != "ready\n") {
        finishProgram(reader, std::chrono::seconds(1));
        return {};
    }
    pressKeys(window, keys);
    return finishProgram(reader, std::chrono::seconds(20)).out;
}

std::vector<std::string> environmentWithoutDisplay() {
    return environmentWith({"DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY"});
}
