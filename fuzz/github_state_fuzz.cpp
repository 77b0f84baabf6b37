// The sign-in state read from whatever the GitHub CLI's status query may print: always one of the five
// states, and never connected for an answer that does not say so.
#include "github/github.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    // The first byte picks the run's status, so that failed runs are explored beside answers.
    static constexpr std::int32_t statuses[] = {0, 0, 0, 0, 1, 124, 125, 127};
    std::int32_t status = statuses[data[0] % 8];
    std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    auto state = authenticationStateOf(GitHubResult(status, bytes));

    if (state < GitHubState::connected || state > GitHubState::unavailable)
        std::abort();
    if (status == 127 && state != GitHubState::componentMissing)
        std::abort();
    if (status != 0 && status != 127 && state != GitHubState::unavailable)
        std::abort();
    bool claimsSignIn =
        bytes.find("\"keyring\"") != std::string::npos && bytes.find("\"success\"") != std::string::npos;
    if (state == GitHubState::connected && !claimsSignIn)
        std::abort();
    return 0;
}
