// The GitHub connection operations over the CLI integration they are given, with the sign-in's time
// limit open to tests that cannot wait for the real one.
#pragma once

#include "github/github.h"
#include "helper/github_plugin.h"

inline constexpr double gitHubLoginTimeLimit = 180.0;

Reply answerGitHubOperation(GitHubOperation operation, double loginTimeLimit, const GitHubCli& cli,
                            const KeychainFunctions* keychain);
