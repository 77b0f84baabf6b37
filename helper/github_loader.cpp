// The GitHub operations as helper reaches them: through the plugin, loaded only for these requests.
#include "helper/github_plugin.h"

#include "platform/plugin.h"

namespace {

const GitHubFunctions* gitHubFunctions() {
    using Entry = const GitHubFunctions* (*)();
    auto entry = reinterpret_cast<Entry>(bundledPluginSymbol(gitHubPluginFile, gitHubPluginEntry));
    return entry == nullptr ? nullptr : entry();
}

} // namespace

Reply answerGitHubRequest(GitHubOperation operation) {
    auto functions = gitHubFunctions();
    if (functions != nullptr)
        return functions->answer(operation);
    // A bundle without the plugin cannot reach its GitHub CLI either: the same answer as a missing CLI.
    if (operation == GitHubOperation::status)
        return {{"authenticated", false}, {"ok", true}, {"state", std::string("component-missing")}};
    return {{"ok", false}, {"state", std::string("component-missing")}};
}
