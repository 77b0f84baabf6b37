// The GitHub connection operations: report the GitHub CLI's sign-in state, and have the user sign in
// in the browser when there is no sign-in.
#include "helper/github_operations.h"

namespace {

GitHubResult runBrowserLogin(const GitHubCli& cli, double timeLimit) {
    return cli.run({"auth", "login", "--hostname", std::string(gitHubHost), "--git-protocol", "https",
                    "--web", "--clipboard", "--skip-ssh-key"},
                   {}, timeLimit);
}

} // namespace

Reply answerGitHubOperation(GitHubOperation operation, double loginTimeLimit, const GitHubCli& cli,
                            const KeychainFunctions* keychain) {
    GitHubState state = cli.authenticationState();
    if (operation == GitHubOperation::status) {
        return gitHubStatusReply(state);
    }
    if (state == GitHubState::connected)
        return gitHubStateReply(state);
    if (state == GitHubState::componentMissing)
        return gitHubRefusal(state);
    if (!cli.prepareAuthenticationStorage(keychain))
        return gitHubRefusal(GitHubState::secureStorageRequired);
    // The login's output is never looked at: only whether it completed.
    auto login = runBrowserLogin(cli, loginTimeLimit);
    bool timedOut = login.end == GitHubRunEnd::timedOut || login.exitedWith(124);
    if (!login.succeeded() && !timedOut)
        return gitHubRefusal(GitHubState::notConnected);
    // A browser that the login started keeps the login's output open after a successful sign-in, which
    // the runner reports as its time-out; the state the CLI reports afterwards tells which it was.
    GitHubState after = cli.authenticationState();
    if (timedOut && after != GitHubState::connected)
        return gitHubRefusal(GitHubState::unavailable);
    return gitHubStateReply(after);
}
