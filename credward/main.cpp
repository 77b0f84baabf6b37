// credward <action>: the git credential helper; only "get" is served.
#include "credward/credward.h"
#include "platform/child_process.h"
#include "platform/wiped.h"

#include <cerrno>
#include <csignal>
#include <optional>
#include <unistd.h>

namespace {

constexpr std::size_t inputLimit = 65'536;
constexpr std::size_t readSize = 4096;

bool writeWhole(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t count = write(fd, bytes.data(), bytes.size());
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(count));
    }
    return true;
}

// Reads standard input to its end. An input past the limit is refused as soon as the read that passes
// it arrives, without waiting for the rest.
std::optional<std::string> readRequest() {
    std::string bytes;
    char chunk[readSize];
    for (;;) {
        ssize_t count = read(STDIN_FILENO, chunk, sizeof chunk);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return std::nullopt;
        if (count == 0)
            return bytes;
        if (bytes.size() + static_cast<std::size_t>(count) > inputLimit)
            return std::nullopt;
        bytes.append(chunk, static_cast<std::size_t>(count));
    }
}

} // namespace

int main(int argc, char** argv) {
    disableCoreFiles();
    restoreChildEndSignal();
    // git may stop reading; a failed write must end this run with a status, not a signal.
    std::signal(SIGPIPE, SIG_IGN);
    if (argc != 2)
        return malformed;
    if (std::string_view(argv[1]) != "get")
        return answered; // "store" and "erase": nothing is kept, so there is nothing to do

    auto input = readRequest();
    if (!input)
        return malformed;
    auto answer = answerGetRequest(*input);
    writeWhole(STDERR_FILENO, answer.standardError);
    bool written = writeWhole(STDOUT_FILENO, answer.standardOutput);
    // An answer that git never received is no answer.
    return answer.status == answered && !written ? refused : answer.status;
}
