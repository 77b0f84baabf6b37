#include "helper/frame.h"

#include <array>

namespace {

Reply answerGitHubStatus(const Request& request, const HelperPlugins& plugins) {
    if (!request.onlyOperationAndLanguage)
        return failureReply();
    return answerGitHubRequest(GitHubOperation::status, plugins);
}

Reply answerGitHubAuth(const Request& request, const HelperPlugins& plugins) {
    if (!request.onlyOperationAndLanguage)
        return failureReply();
    return answerGitHubRequest(GitHubOperation::auth, plugins);
}

Reply answerChooseFolder(const Request& request, const HelperPlugins& plugins) {
    return chooseFolder(request.members, plugins);
}

Reply answerConfirmProjectCommand(const Request& request, const HelperPlugins& plugins) {
    return confirmProjectCommand(request.members, plugins);
}

using Operation = Reply (*)(const Request& request, const HelperPlugins& plugins);

struct NamedOperation {
    std::string_view name;
    Operation answer;
};

// Every operation by its exact, whole name.
constexpr std::array<NamedOperation, 8> operations = {{
    {"choose-folder", answerChooseFolder},
    {"github-status", answerGitHubStatus},
    {"github-auth", answerGitHubAuth},
    {"confirm-project-command", answerConfirmProjectCommand},
    {"exists", answerExists},
    {"read", answerRead},
    {"remove", answerRemove},
    {"write", answerWrite},
}};

} // namespace

Reply answerRequest(std::string_view bytes, const HelperPlugins& plugins) {
    auto request = parseRequest(bytes);
    if (!request)
        return failureReply();
    auto operation = stringMember(request->members, "operation");
    if (!operation)
        return failureReply();
    for (const auto& [name, answer] : operations) {
        if (name == *operation)
            return answer(*request, plugins);
    }
    return failureReply();
}
