// The GitHub CLI's sign-in state as one word, and the preparation of secure storage for a sign-in.
#include "github/github.h"

#include "platform/crypto/crypto.h"
#include "platform/files.h"
#include "platform/keychain/keychain.h"

#include <nlohmann/json.hpp>

namespace {

using Json = nlohmann::json;

constexpr std::string_view probeService = "ai.dovrel.git-keychain-check";
constexpr std::string_view probePayload = "probe-payload";

bool isArrayOfObjects(const Json& value) {
    if (!value.is_array())
        return false;
    for (const auto& element : value) {
        if (!element.is_object())
            return false;
    }
    return true;
}

bool hasStringMember(const Json& object, const char* name, std::string_view expected) {
    auto member = object.find(name);
    return member != object.end() && member->is_string() && member->get_ref<const std::string&>() == expected;
}

bool countsAsSignIn(const Json& entry) {
    auto active = entry.find("active");
    return active != entry.end() && active->is_boolean() && active->get<bool>() &&
           hasStringMember(entry, "host", gitHubHost);
}

GitHubState stateOfSignIn(const Json& entry) {
    // A token kept anywhere but the keychain is refused before its state is even looked at.
    if (!hasStringMember(entry, "tokenSource", "keyring"))
        return GitHubState::secureStorageRequired;
    if (hasStringMember(entry, "state", "success"))
        return GitHubState::connected;
    if (hasStringMember(entry, "state", "timeout"))
        return GitHubState::unavailable;
    return GitHubState::notConnected;
}

} // namespace

GitHubState authenticationStateOf(const GitHubResult& statusQuery) {
    if (statusQuery.end == GitHubRunEnd::notStarted)
        return GitHubState::componentMissing;
    // A CLI that exits 127 by itself could not run a part of itself, which is as missing as no CLI.
    if (statusQuery.exitedWith(127))
        return GitHubState::componentMissing;
    if (!statusQuery.succeeded())
        return GitHubState::unavailable;
    // The output is at most 65,536 bytes; the parser keeps its own stack, so nesting cannot exhaust ours.
    auto bytes = statusQuery.bytes.view();
    Json answer = Json::parse(bytes.begin(), bytes.end(), nullptr, false, false);
    if (answer.is_discarded() || !answer.is_object())
        return GitHubState::unavailable;
    auto hosts = answer.find("hosts");
    if (hosts == answer.end() || !hosts->is_object())
        return GitHubState::unavailable;
    for (const auto& [host, entries] : hosts->items()) {
        if (!isArrayOfObjects(entries))
            return GitHubState::unavailable;
    }
    const Json* signIn = nullptr;
    if (auto entries = hosts->find(std::string(gitHubHost)); entries != hosts->end()) {
        for (const auto& entry : *entries) {
            if (!countsAsSignIn(entry))
                continue;
            if (signIn != nullptr)
                return GitHubState::unavailable;
            signIn = &entry;
        }
    }
    return signIn == nullptr ? GitHubState::notConnected : stateOfSignIn(*signIn);
}

GitHubState gitHubAuthenticationState() {
    return authenticationStateOf(runGitHubCli(gitHubStatusArguments));
}

bool prepareGitHubAuthenticationStorage(const KeychainFunctions* keychain) {
    auto directory = gitHubConfigDirectory();
    if (!directory || !createDirectoryWithParents(*directory, 0700))
        return false;
    auto attributes = itemAttributes(*directory);
    if (!attributes || attributes->type != FileType::directory || (attributes->permissions & 0077) != 0)
        return false;
    // A fresh account each time, so an item left behind by a failed deletion never blocks a later add.
    KeychainItem probe{std::string(probeService), randomUuidText()};
    if (probe.account.empty())
        return false;
    // A write that does not take leaves nothing behind by itself.
    if (keychainWrite(keychain, probe, probePayload) != KeychainStatus::success)
        return false;
    return keychainDelete(keychain, probe) == KeychainStatus::success;
}
