// The GitHub connection operations, with the sign-in's time limit open to tests that cannot wait for
// the real one.
#pragma once

#include "helper/operations.h"

inline constexpr double gitHubLoginTimeLimit = 180.0;

Reply answerGitHubRequest(GitHubOperation operation, double loginTimeLimit);
