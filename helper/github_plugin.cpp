#include "helper/github_plugin.h"

#include "helper/github_operations.h"

namespace {

Reply answer(GitHubOperation operation, const KeychainFunctions* keychain) {
    return answerGitHubOperation(operation, gitHubLoginTimeLimit, shippedGitHubCli, keychain);
}

constexpr GitHubFunctions functions{answer};

} // namespace

extern "C" __attribute__((visibility("default"))) const GitHubFunctions* dovrelGitHubFunctions() {
    return &functions;
}
