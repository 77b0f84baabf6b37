// Stands in for NSFileHandle's whole reads and writes: a descriptor read to its end within a bound, and
// bytes written out in full.
#pragma once

#include "platform/wiped.h"

#include <csignal>
#include <cstddef>
#include <string_view>
#include <unistd.h>

struct BoundedInput {
    WipedBuffer bytes;     // an input may carry a secret
    bool complete = false; // read to its end, without error, within the limit
};

// What a read does once the input has passed its limit: go on to the end while keeping nothing, so the
// writer is never cut off, or stop at once.
enum class PastLimit { drain, stop };

// Reads fd to its end but keeps at most `limit` bytes, so an endless input costs no more memory than
// the limit.
BoundedInput readBoundedInput(int fd, std::size_t limit, PastLimit pastLimit = PastLimit::drain);

// Writes all of bytes; false when the descriptor takes no more.
bool writeWhole(int fd, std::string_view bytes);

inline constexpr int standardInput = STDIN_FILENO;
inline constexpr int standardOutput = STDOUT_FILENO;
inline constexpr int standardError = STDERR_FILENO;

// Raises the soft limit on open descriptors to the hard one. The limit a caller passes on may be far
// below what a run needs (the keychain's libraries alone take several), and only the hard one is a
// choice the caller made.
void raiseDescriptorLimit();

// Whether `count` more descriptors can be opened now: a run that needs that many and finds fewer fails
// as a shortage, not as the absence of what it would have opened.
bool descriptorsAvailable(int count);

// A reader that goes away makes a write fail instead of ending the process with SIGPIPE.
inline void ignoreBrokenPipes() {
    std::signal(SIGPIPE, SIG_IGN);
}

// Ends the process with `status` at once: no exit handler or destructor runs, and nothing buffered is
// flushed.
[[noreturn]] inline void endProcessNow(int status) {
    _exit(status);
}
