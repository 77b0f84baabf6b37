// The GitHub CLI integration answered from a scenario chosen per input, so the helper's GitHub
// operations are fuzzed through every combination of state, preparation and sign-in outcome.
#include "fuzz/standins/standins.h"

#include <array>
#include <optional>

namespace {

const std::array<GitHubState, 5> states{GitHubState::connected, GitHubState::notConnected,
                                        GitHubState::secureStorageRequired, GitHubState::componentMissing,
                                        GitHubState::unavailable};
const std::array<GitHubResult, 5> loginResults{{{GitHubRunEnd::exited, 0, {}},
                                                {GitHubRunEnd::exited, 1, {}},
                                                {GitHubRunEnd::timedOut, 0, {}},
                                                {GitHubRunEnd::overLimit, 0, {}},
                                                {GitHubRunEnd::notStarted, 0, {}}}};

struct Scenario {
    unsigned number = 0;
    int stateQueries = 0;
    std::optional<GitHubResult> cliAnswer; // what every run of the CLI answers, when set
};

Scenario& scenario() {
    static Scenario current;
    return current;
}

GitHubState authenticationState() {
    auto& current = scenario();
    unsigned pick = current.stateQueries++ == 0 ? current.number : current.number / 50;
    return states[pick % states.size()];
}

// Like the real preparation, nothing is prepared without a keychain.
bool prepareAuthenticationStorage(const KeychainFunctions* keychain) {
    return keychain != nullptr && (scenario().number / 5) % 2 == 0;
}

GitHubResult run(const std::vector<std::string>&, std::string_view, double) {
    if (scenario().cliAnswer)
        return *scenario().cliAnswer;
    auto login = loginResults[(scenario().number / 10) % loginResults.size()];
    login.bytes = "ignored output";
    return login;
}

constexpr GitHubCli cli{authenticationState, prepareAuthenticationStorage, run};

} // namespace

void chooseGitHubScenario(unsigned number) {
    scenario() = {number, 0, std::nullopt};
}

void setGitHubCliAnswer(std::int32_t status, std::string bytes) {
    scenario().cliAnswer = GitHubResult{GitHubRunEnd::exited, status, std::move(bytes)};
}

const GitHubCli& gitHubCliStandin() {
    return cli;
}
