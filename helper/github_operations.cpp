// The GitHub connection operations: report the GitHub CLI's sign-in state, and have the user sign in
// in the browser when there is no sign-in.
#include "helper/github_operations.h"

namespace {

Reply stateReply(GitHubState state) {
    bool connected = state == GitHubState::connected;
    return {{"authenticated", connected}, {"ok", connected}, {"state", std::string(gitHubStateWord(state))}};
}

Reply refusal(GitHubState state) {
    return {{"ok", false}, {"state", std::string(gitHubStateWord(state))}};
}

GitHubResult runBrowserLogin(const GitHubCli& cli, double timeLimit) {
    return cli.run({"auth", "login", "--hostname", std::string(gitHubHost), "--git-protocol", "https",
                    "--web", "--clipboard", "--skip-ssh-key"},
                   {}, timeLimit);
}

} // namespace

Reply answerGitHubOperation(GitHubOperation operation, double loginTimeLimit, const GitHubCli& cli,
                            KeychainSource keychain) {
    GitHubState state = cli.authenticationState();
    if (operation == GitHubOperation::status) {
        Reply reply = stateReply(state);
        reply["ok"] = true; // the status is answered whatever it is
        return reply;
    }
    if (state == GitHubState::connected)
        return stateReply(state);
    if (state == GitHubState::componentMissing)
        return refusal(state);
    if (!cli.prepareAuthenticationStorage(keychain()))
        return refusal(GitHubState::secureStorageRequired);
    // The login's output is never looked at: only whether it completed.
    auto login = runBrowserLogin(cli, loginTimeLimit);
    bool timedOut = login.end == GitHubRunEnd::timedOut || login.exitedWith(124);
    if (!login.succeeded() && !timedOut)
        return refusal(GitHubState::notConnected);
    // A browser that the login started keeps the login's output open after a successful sign-in, which
    // the runner reports as its time-out; the state the CLI reports afterwards tells which it was.
    GitHubState after = cli.authenticationState();
    if (timedOut && after != GitHubState::connected)
        return refusal(GitHubState::unavailable);
    return stateReply(after);
}
