// credward <action>: the git credential helper; only "get" is served.
#include "credward/credward.h"
#include "platform/child/child.h"
#include "platform/streams.h"
#include "platform/wiped.h"

namespace {

constexpr std::size_t inputLimit = 65'536;
} // namespace

int main(int argc, char** argv) {
    disableCoreFiles();
    raiseDescriptorLimit();
    restoreChildEndSignal();
    // git may stop reading; a failed write must end this run with a status, not a signal.
    ignoreBrokenPipes();
    if (argc != 2)
        return malformed;
    if (std::string_view(argv[1]) != "get")
        return answered; // "store" and "erase": nothing is kept, so there is nothing to do

    // An input past the limit is refused as soon as the read that passes it arrives, without waiting
    // for the rest.
    auto input = readBoundedInput(standardInput, inputLimit, PastLimit::stop);
    if (!input.complete)
        return malformed;
    auto answer = answerGetRequest(input.bytes, shippedGitHubCli);
    writeWhole(standardError, answer.standardError);
    bool written = writeWhole(standardOutput, answer.standardOutput);
    // An answer that git never received is no answer.
    return answer.status == answered && !written ? refused : answer.status;
}
