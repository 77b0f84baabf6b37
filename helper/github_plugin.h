// The entry point of the GitHub plugin. The CLI integration carries libcrypto, several megabytes of
// code that only the GitHub operations use, so only they load it; every other request starts without.
#pragma once

#include "github/state.h"
#include "helper/reply.h"

enum class GitHubOperation { status, auth };

struct KeychainFunctions;

// `keychain` is the table through which a sign-in proves that the keychain takes a secret; a status never
// reaches the keychain and is given none.
struct GitHubFunctions {
    Reply (*answer)(GitHubOperation operation, const KeychainFunctions* keychain);
};

inline constexpr const char* gitHubPluginFile = "dovrel-github.so";
inline constexpr const char* gitHubPluginEntry = "dovrelGitHubFunctions";

extern "C" const GitHubFunctions* dovrelGitHubFunctions();

// The sign-in state as the reply spells it.
constexpr std::string_view gitHubStateWord(GitHubState state) {
    switch (state) {
    case GitHubState::connected:
        return "connected";
    case GitHubState::notConnected:
        return "not-connected";
    case GitHubState::secureStorageRequired:
        return "secure-storage-required";
    case GitHubState::componentMissing:
        return "component-missing";
    case GitHubState::unavailable:
        break;
    }
    return "unavailable";
}

// The state as a sign-in answers it, as the status answers it (always "ok"), and a sign-in refused.
inline Reply gitHubStateReply(GitHubState state) {
    bool connected = state == GitHubState::connected;
    return {{"authenticated", connected}, {"ok", connected}, {"state", std::string(gitHubStateWord(state))}};
}

inline Reply gitHubStatusReply(GitHubState state) {
    Reply reply = gitHubStateReply(state);
    reply["ok"] = true;
    return reply;
}

inline Reply gitHubRefusal(GitHubState state) {
    return {{"ok", false}, {"state", std::string(gitHubStateWord(state))}};
}

// The bundled plugin's table; nullptr when it cannot be loaded.
const GitHubFunctions* bundledGitHubFunctions();
