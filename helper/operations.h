// The operations the frame hands a request to. Each validates its own members and returns its reply.
#pragma once

#include "helper/frame.h"

Reply chooseFolder(const Json& request);
Reply confirmProjectCommand(const Json& request);
Reply answerCredentialRequest(const Json& request, const std::string& operation);

enum class GitHubOperation { status, auth };
Reply answerGitHubRequest(GitHubOperation operation);
