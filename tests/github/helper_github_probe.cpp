// Answers "github-status" or "github-auth" as helper does, with the sign-in's time limit taken from the
// command line, so that a test can see a sign-in outlast its limit without waiting three minutes.
//   helper_github_probe status|auth SECONDS
#include "helper/github_operations.h"
#include "platform/keychain/plugin.h"

#include <charconv>
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3)
        return 2;
    auto operation = std::string(argv[1]) == "auth" ? GitHubOperation::auth : GitHubOperation::status;
    std::string_view limitText = argv[2];
    double limit = 0;
    if (std::from_chars(limitText.data(), limitText.data() + limitText.size(), limit).ec != std::errc())
        return 2;
    // As helper does, only the sign-in loads the keychain.
    auto keychain = operation == GitHubOperation::auth ? bundledKeychainFunctions() : nullptr;
    std::puts(std::string(serializeReply(answerGitHubOperation(operation, limit, shippedGitHubCli, keychain)))
                  .c_str());
    return 0;
}
