// Answers "github-status" or "github-auth" as helper does, with the sign-in's time limit taken from the
// command line, so that a test can see a sign-in outlast its limit without waiting three minutes.
//   helper_github_probe status|auth SECONDS
#include "helper/github_operations.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3)
        return 2;
    auto operation = std::string(argv[1]) == "auth" ? GitHubOperation::auth : GitHubOperation::status;
    std::puts(serializeReply(answerGitHubRequest(operation, std::strtod(argv[2], nullptr))).c_str());
    return 0;
}
