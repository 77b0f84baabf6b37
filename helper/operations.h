// The operations the frame hands a request to. Each validates its own members and returns its reply;
// each reaches the keychain, the dialogs or the GitHub integration only through the tables it is given.
#pragma once

#include "helper/github_plugin.h"
#include "helper/reply.h"
#include "helper/request.h"
#include "platform/dialogs/plugin.h"
#include "platform/keychain/plugin.h"

// Where the operations find what they reach: each table is asked for only by an operation that needs it,
// so that a request loads no more than its operation uses.
struct HelperPlugins {
    const KeychainFunctions* (*keychain)();
    const DialogFunctions* (*dialogs)();
    const GitHubFunctions* (*gitHub)();
};

// The keychain service of every credential record.
inline constexpr std::string_view service = "ai.dovrel.macos.credentials";

Reply chooseFolder(const Json& request, const HelperPlugins& plugins);
Reply confirmProjectCommand(const Json& request, const HelperPlugins& plugins);

Reply answerExists(const Request& request, const HelperPlugins& plugins);
Reply answerRead(const Request& request, const HelperPlugins& plugins);
Reply answerRemove(const Request& request, const HelperPlugins& plugins);
Reply answerWrite(const Request& request, const HelperPlugins& plugins);

// Through the GitHub plugin's table, with the keychain table for the sign-in; without the plugin, the answer
// of a bundle whose GitHub CLI is missing.
Reply answerGitHubRequest(GitHubOperation operation, const HelperPlugins& plugins);
