// The sign-in state read from whatever the GitHub CLI's status query may print: a missing CLI only for a
// run that could not run it, unavailable for every other failed run, and never connected for an answer
// that does not say so.
#include "github/github.h"

#include <cstdint>
#include <cstdlib>
#include <utility>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    // The first byte picks how the run ended, so that failed runs are explored beside answers.
    static constexpr std::pair<GitHubRunEnd, std::int32_t> ends[] = {
        {GitHubRunEnd::exited, 0},    {GitHubRunEnd::exited, 0},    {GitHubRunEnd::outOfDescriptors, 0},
        {GitHubRunEnd::exited, 1},    {GitHubRunEnd::exited, 127},  {GitHubRunEnd::timedOut, 0},
        {GitHubRunEnd::overLimit, 0}, {GitHubRunEnd::notStarted, 0}};
    auto [end, status] = ends[data[0] % 8];
    std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    GitHubResult run{end, status, bytes};
    auto state = authenticationStateOf(run);

    bool missing = end == GitHubRunEnd::notStarted || run.exitedWith(127);
    if (missing && state != GitHubState::componentMissing)
        std::abort();
    if (!missing && !run.succeeded() && state != GitHubState::unavailable)
        std::abort();
    bool claimsSignIn =
        bytes.find("\"keyring\"") != std::string::npos && bytes.find("\"success\"") != std::string::npos;
    if (state == GitHubState::connected && !claimsSignIn)
        std::abort();
    return 0;
}
