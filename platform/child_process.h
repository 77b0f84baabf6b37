// Stands in for NSTask, NSPipe and the task's termination handler: a child started on pipes, watched
// through a process descriptor so that no signal can reach a process that later reuses its identifier.
#pragma once

#include "platform/descriptor.h"

#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct ChildLaunch {
    std::string executable;        // the child's argv[0], and the file started when no descriptor is given
    int executableDescriptor = -1; // an open file to start instead of looking `executable` up again
    std::vector<std::string> arguments;             // after argv[0]
    std::map<std::string, std::string> environment; // the child's whole environment
    std::string workingDirectory;
};

struct StartedChild {
    OwnedDescriptor process; // refers to this child only, even after its identifier is reused
    OwnedDescriptor input;   // the write end of the child's standard input; never blocks
    OwnedDescriptor output;  // the read end of the child's standard output
};

// Starts the child with its standard error on the null device. No descriptor of the caller other than
// the three standard ones reaches it, and its signal dispositions and mask start at their defaults.
std::optional<StartedChild> startChild(const ChildLaunch& launch);

// Sends the signal to the child; harmless once it has ended.
void signalChild(int process, int signal);

// Blocks until the child ends and reaps it. Gives its exit status, or the number of the signal that
// ended it, or -1 when it could not be learnt.
int awaitChildEnd(int process);

// Writes `bytes` to the child's standard input until all are written, the child has closed its end or
// ended, or the deadline passes; true when all were written. A closed pipe never raises SIGPIPE.
bool writeChildInput(int input, int process, std::string_view bytes,
                     std::chrono::steady_clock::time_point deadline);

// Reads up to `size` bytes, blocking; 0 at end of file or on an error.
std::size_t readChildOutput(int output, char* buffer, std::size_t size);
