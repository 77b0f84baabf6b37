// The GitHub connection operations: report the GitHub CLI's sign-in state, and have the user sign in
// in the browser when there is no sign-in.
#include "helper/github_operations.h"

namespace {

Reply stateReply(const std::string& state) {
    bool connected = state == "connected";
    return {{"authenticated", connected}, {"ok", connected}, {"state", state}};
}

Reply refusal(const std::string& state) {
    return {{"ok", false}, {"state", state}};
}

GitHubResult runBrowserLogin(const GitHubCli& cli, double timeLimit) {
    return cli.run({"auth", "login", "--hostname", std::string(gitHubHost), "--git-protocol", "https",
                    "--web", "--clipboard", "--skip-ssh-key"},
                   {}, timeLimit);
}

} // namespace

Reply answerGitHubOperation(GitHubOperation operation, double loginTimeLimit, const GitHubCli& cli) {
    std::string state = cli.authenticationState();
    if (operation == GitHubOperation::status) {
        Reply reply = stateReply(state);
        reply["ok"] = true; // the status is answered whatever it is
        return reply;
    }
    if (state == "connected")
        return stateReply(state);
    if (state == "component-missing")
        return refusal(state);
    if (!cli.prepareAuthenticationStorage())
        return refusal("secure-storage-required");
    // The login's output is never looked at: only whether it completed.
    auto login = runBrowserLogin(cli, loginTimeLimit);
    if (login.end == GitHubRunEnd::timedOut || login.exitedWith(124))
        return refusal("unavailable");
    if (!login.succeeded())
        return refusal("not-connected");
    return stateReply(cli.authenticationState());
}
