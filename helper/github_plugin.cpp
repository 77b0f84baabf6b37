#include "helper/github_plugin.h"

namespace {

Reply answer(GitHubOperation operation) {
    return answerGitHubRequest(operation);
}

constexpr GitHubFunctions functions{answer};

} // namespace

extern "C" __attribute__((visibility("default"))) const GitHubFunctions* dovrelGitHubFunctions() {
    return &functions;
}
