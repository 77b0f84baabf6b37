#include "helper/operations.h"

Reply answerGitHubRequest(GitHubOperation operation) {
    if (operation == GitHubOperation::status)
        return {{"authenticated", false}, {"ok", true}, {"state", std::string("not-connected")}};
    return {{"ok", false}, {"state", std::string("unavailable")}};
}
