// The GitHub connection operations; not built yet.
#include "helper/operations.h"

Reply answerGitHubRequest(GitHubOperation) {
    return failureReply();
}
