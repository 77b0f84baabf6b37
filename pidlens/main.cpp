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
std::optional<Command> parse_command(int argc, char** argv) {
    Command command;
    const char* pid_text = nullptr;
    if (argc == 2) {
        pid_text = argv[1];
    } else if (argc == 3 && std::strcmp(argv[1], "--probe") == 0) {
        command.mode = Mode::probe;
        pid_text = argv[2];
    } else if (argc == 3 && std::strcmp(argv[1], "--tree") == 0) {
        command.mode = Mode::tree;
        pid_text = argv[2];
    } else {
        return std::nullopt;
    }
    auto pid = parse_pid(pid_text);
    if (!pid)
        return std::nullopt;
    command.pid = *pid;
    return command;
}

// The line feed follows whatever emit_identity did, so a failure reads as an empty line. Output is
// buffered: only a flush tells whether the object really got out.
int finish_line(int status, FILE* out) {
    std::fputc('\n', out);
    bool failed = std::fflush(out) != 0 || std::ferror(out);
    return status == status_written && failed ? status_output_error : status;
}

int report_identity(uint32_t pid, FILE* out) {
    return finish_line(emit_identity(pid, out), out);
}

// Only "no such process" counts as absent; a process that merely may not be signalled exists.
int report_probe(uint32_t pid, FILE* out) {
    if (processHasEnded(pid)) {
        std::fprintf(out, "{\"schemaVersion\":1,\"pid\":%u,\"absent\":true}", pid);
        return finish_line(status_written, out);
    }
    return report_identity(pid, out);
}

} // namespace

int main(int argc, char** argv) {
    // A reader that goes away must not kill pidlens: the failed write becomes status 4.
    ignoreBrokenPipes();
    // A fixed output buffer keeps the run free of allocation, and holds most trees in one write.
    static char output_buffer[65536];
    std::setvbuf(stdout, output_buffer, _IOFBF, sizeof output_buffer);
    auto command = parse_command(argc, argv);
    if (!command)
        return status_bad_arguments;
    switch (command->mode) {
    case Mode::identity:
        return report_identity(command->pid, stdout);
    case Mode::probe:
        return report_probe(command->pid, stdout);
    case Mode::tree:
        return emit_tree(command->pid, stdout);
    }
    return status_bad_arguments;
}
