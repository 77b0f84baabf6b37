// pidlens <PID> | --probe <PID> | --tree <PID>: one line of JSON about a process, or a process and its
// descendants, on standard output.
#include "pidlens/pidlens.h"
#include "platform/streams.h"

#include <cstring>

namespace {

enum class Mode { identity, probe, tree };

struct Command {
    Mode mode = Mode::identity;
    uint32_t pid = 0;
};

// One argument is always the PID text, even when it starts with "--".
std::optional<Command> parseCommand(int argc, char** argv) {
    Command command;
    const char* pidText = nullptr;
    if (argc == 2) {
        pidText = argv[1];
    } else if (argc == 3 && std::strcmp(argv[1], "--probe") == 0) {
        command.mode = Mode::probe;
        pidText = argv[2];
    } else if (argc == 3 && std::strcmp(argv[1], "--tree") == 0) {
        command.mode = Mode::tree;
        pidText = argv[2];
    } else {
        return std::nullopt;
    }
    auto pid = parsePid(pidText);
    if (!pid)
        return std::nullopt;
    command.pid = *pid;
    return command;
}

// The line feed follows whatever emitIdentity did, so a failure reads as an empty line. Output is
// buffered: only a flush tells whether the object really got out.
int finishLine(int status, FILE* out) {
    std::fputc('\n', out);
    bool failed = std::fflush(out) != 0 || std::ferror(out);
    return status == statusWritten && failed ? statusOutputError : status;
}

int reportIdentity(uint32_t pid, FILE* out) {
    return finishLine(emitIdentity(pid, out), out);
}

// Only "no such process" counts as absent; a process that merely may not be signalled exists.
int reportProbe(uint32_t pid, FILE* out) {
    if (processHasEnded(pid)) {
        std::fprintf(out, "{\"schemaVersion\":1,\"pid\":%u,\"absent\":true}", pid);
        return finishLine(statusWritten, out);
    }
    return reportIdentity(pid, out);
}

} // namespace

int main(int argc, char** argv) {
    // A reader that goes away must not kill pidlens: the failed write becomes status 4.
    ignoreBrokenPipes();
    // A fixed output buffer keeps the run free of allocation, and holds most trees in one write.
    static char outputBuffer[65536];
    std::setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);
    auto command = parseCommand(argc, argv);
    if (!command)
        return statusBadArguments;
    switch (command->mode) {
    case Mode::identity:
        return reportIdentity(command->pid, stdout);
    case Mode::probe:
        return reportProbe(command->pid, stdout);
    case Mode::tree:
        // The walk holds three descriptors for each of up to 256 processes.
        raiseDescriptorLimit();
        return emitTree(command->pid, stdout);
    }
    return statusBadArguments;
}
