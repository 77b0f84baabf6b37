// Request bytes in, reply bytes out: every reply must be one the helper is allowed to give.
#include "fuzz/reply_shape.h"
#include "fuzz/standins/standins.h"
#include "helper/frame.h"
#include "helper/github_operations.h"

#include <cstdint>
#include <cstdlib>

namespace {

// The real GitHub operations over the GitHub CLI stand-in, as the plugin would answer them.
Reply answerGitHub(GitHubOperation operation, const KeychainFunctions* keychain) {
    return answerGitHubOperation(operation, gitHubLoginTimeLimit, gitHubCliStandin(), keychain);
}

constexpr GitHubFunctions gitHubStandin{answerGitHub};

const GitHubFunctions* gitHubStandinFunctions() {
    return &gitHubStandin;
}

constexpr HelperPlugins standins{keychainStandin, dialogsStandin, gitHubStandinFunctions};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Longer requests never reach the parser: the reader refuses them.
    if (size > requestLimit)
        return 0;
    resetStandins();
    chooseGitHubScenario(static_cast<unsigned>(size * 31 + (size > 0 ? data[0] : 0)));
    auto reply =
        serializeReply(answerRequest(std::string_view(reinterpret_cast<const char*>(data), size), standins));
    if (!isAllowedReply(reply))
        std::abort();
    return 0;
}
