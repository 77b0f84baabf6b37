// The GitHub operations as helper reaches them: through the plugin, loaded only for these requests.
#include "helper/operations.h"

#include "platform/bundle/bundle.h"

const GitHubFunctions* bundledGitHubFunctions() {
    return bundledPluginFunctions<GitHubFunctions>(gitHubPluginFile, gitHubPluginEntry);
}

Reply answerGitHubRequest(GitHubOperation operation, const HelperPlugins& plugins) {
    if (const GitHubFunctions* gitHub = plugins.gitHub(); gitHub != nullptr) {
        // GLib's D-Bus client costs milliseconds to load: only the sign-in, which proves secure storage,
        // loads the keychain.
        return gitHub->answer(operation, operation == GitHubOperation::auth ? plugins.keychain() : nullptr);
    }
    // A bundle without the plugin cannot reach its GitHub CLI either: the same answer as a missing CLI.
    if (operation == GitHubOperation::status)
        return gitHubStatusReply(GitHubState::componentMissing);
    return gitHubRefusal(GitHubState::componentMissing);
}
