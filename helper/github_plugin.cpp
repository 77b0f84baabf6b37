#include "helper/github_plugin.h"

#include "helper/github_operations.h"

namespace {

Reply answer(GitHubOperation operation) {
    return answerGitHubOperation(operation, gitHubLoginTimeLimit, shippedGitHubCli);
}

constexpr GitHubFunctions functions{answer};

} // namespace

extern "C" __attribute__((visibility("default"))) const GitHubFunctions* dovrelGitHubFunctions() {
    return &functions;
}
