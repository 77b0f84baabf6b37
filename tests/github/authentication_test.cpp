// The sign-in state from canned answers and from the stand-in, and the storage preparation's checks.
#include "github/github.h"
#include "platform/keychain/plugin.h"
#include "tests/github/github_test_support.h"
#include "tests/support/run_program.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <random>

namespace {

GitHubState stateOf(const std::string& answer, int status = 0, GitHubRunEnd end = GitHubRunEnd::exited) {
    return authenticationStateOf({end, status, answer});
}

std::string hostsWith(const std::string& entries, const std::string& others = "") {
    return R"({"hosts":{"github.com":[)" + entries + "]" + others + "}}";
}

const std::string signedIn =
    R"({"active":true,"host":"github.com","login":"ann","tokenSource":"keyring","state":"success"})";

TEST(GitHubAuthenticationState, StatusesDecideBeforeTheAnswerIsRead) {
    EXPECT_EQ(stateOf(hostsWith(signedIn), 0, GitHubRunEnd::notStarted), GitHubState::componentMissing);
    EXPECT_EQ(stateOf("garbage", 127), GitHubState::componentMissing);
    for (auto end : {GitHubRunEnd::timedOut, GitHubRunEnd::overLimit})
        EXPECT_EQ(stateOf(hostsWith(signedIn), 0, end), GitHubState::unavailable);
    for (int status : {1, 2, 124, 125, -1, 9})
        EXPECT_EQ(stateOf(hostsWith(signedIn), status), GitHubState::unavailable) << status;
}

TEST(GitHubAuthenticationState, ClassifiesTheSignInEntries) {
    const std::vector<std::pair<std::string, GitHubState>> table{
        {hostsWith(signedIn), GitHubState::connected},
        {R"({"hosts":{}})", GitHubState::notConnected},
        {R"({"hosts":{"gitlab.com":[]}})", GitHubState::notConnected},
        {hostsWith(""), GitHubState::notConnected},
        {hostsWith("{}"), GitHubState::notConnected},
        {hostsWith(R"({"active":true,"host":"github.com","tokenSource":"keyring","state":"timeout"})"),
         GitHubState::unavailable},
        {hostsWith(R"({"active":true,"host":"github.com","tokenSource":"keyring","state":"error"})"),
         GitHubState::notConnected},
        {hostsWith(R"({"active":true,"host":"github.com","tokenSource":"keyring"})"),
         GitHubState::notConnected},
        {hostsWith(R"({"active":true,"host":"github.com","tokenSource":"keyring","state":1})"),
         GitHubState::notConnected},
        {hostsWith(R"({"active":true,"host":"github.com","tokenSource":"oauth_token","state":"success"})"),
         GitHubState::secureStorageRequired},
        {hostsWith(R"({"active":true,"host":"github.com","state":"timeout"})"),
         GitHubState::secureStorageRequired},
        {hostsWith(R"({"active":true,"host":"github.com","tokenSource":"Keyring","state":"success"})"),
         GitHubState::secureStorageRequired},
        {hostsWith(signedIn + "," + signedIn), GitHubState::unavailable},
        {hostsWith(signedIn + R"(,{"active":true,"host":"github.com"})"), GitHubState::unavailable},
        {hostsWith(R"({"active":false,"host":"github.com","tokenSource":"keyring","state":"success"})"),
         GitHubState::notConnected},
        {hostsWith(R"({"active":"true","host":"github.com","tokenSource":"keyring","state":"success"})"),
         GitHubState::notConnected},
        {hostsWith(R"({"active":true,"host":"GitHub.com","tokenSource":"keyring","state":"success"})"),
         GitHubState::notConnected},
        {hostsWith(R"({"active":false,"host":"github.com"},)" + signedIn), GitHubState::connected},
        {hostsWith(signedIn, R"(,"gist.github.com":{})"), GitHubState::unavailable},
        {hostsWith(signedIn, R"(,"ghe.example":[1])"), GitHubState::unavailable},
        {R"({"hosts":{"github.com":{}}})", GitHubState::unavailable},
        {R"({"hosts":[]})", GitHubState::unavailable},
        {R"({})", GitHubState::unavailable},
        {R"([])", GitHubState::unavailable},
        {"", GitHubState::unavailable},
        {"not json", GitHubState::unavailable},
        {hostsWith(signedIn) + "x", GitHubState::unavailable},
    };
    for (const auto& [answer, state] : table)
        EXPECT_EQ(stateOf(answer), state) << answer;
}

TEST(GitHubAuthenticationState, HostileAnswersGiveAState) {
    std::mt19937 random{7};
    std::string garbage(65536, '\0');
    for (auto& c : garbage)
        c = static_cast<char>(random());
    EXPECT_EQ(stateOf(garbage), GitHubState::unavailable);
    EXPECT_EQ(stateOf(std::string(32768, '[') + std::string(32768, ']')), GitHubState::unavailable);
    EXPECT_EQ(stateOf(R"({"hosts":{"github.com":[)" + std::string(30000, '[')), GitHubState::unavailable);
    EXPECT_EQ(stateOf(hostsWith(R"({"active":true,"host":"github.com","tokenSource":"keyring","login":")"
                                "\xff\xfe"
                                R"(","state":"success"})")),
              GitHubState::unavailable);
    EXPECT_EQ(stateOf(hostsWith(
                  R"({"active":true,"host":"github.com\u0000","tokenSource":"keyring","state":"success"})")),
              GitHubState::notConnected);
}

// Runs the packaged stand-in's status query with its configuration in `config`.
GitHubResult standInStatus(const std::string& home) {
    auto config = configDirectoryBelow(home);
    std::map<std::string, std::string> environment{{"HOME", home}, {"GH_CONFIG_DIR", config}};
    for (const char* name : {"DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR"}) {
        if (const char* value = std::getenv(name))
            environment[name] = value;
    }
    return runChildProcess({bundlePath() + "/Contents/Resources/runtime/gh",
                            -1,
                            gitHubStatusArguments,
                            {environment.begin(), environment.end()},
                            home},
                           {}, 15);
}

std::string freshConfig(std::string& home) {
    home = makeScratchFolder("dovrel-home");
    auto config = configDirectoryBelow(home);
    makeFolders(config);
    return config;
}

TEST(GitHubAuthenticationState, TheStandInsAnswersAreClassified) {
    std::string home;
    auto config = freshConfig(home);
    auto nobody = standInStatus(home);
    EXPECT_TRUE(nobody.succeeded());
    EXPECT_EQ(nobody.bytes, "{\"hosts\":{}}\n");
    EXPECT_EQ(authenticationStateOf(nobody), GitHubState::notConnected);

    const std::vector<std::pair<std::string, GitHubState>> controls{
        {"status.exit=127", GitHubState::componentMissing},
        {"status.exit=1", GitHubState::unavailable},
        {"status.output-size=65537", GitHubState::unavailable},
        {"status.answer=canned.json", GitHubState::connected},
        {"status.answer=canned.json\nstatus.exit=4", GitHubState::unavailable},
        {"status.answer=nested.json", GitHubState::unavailable},
    };
    writeFile(config + "/canned.json", hostsWith(signedIn));
    writeFile(config + "/nested.json", std::string(65536, '['));
    for (const auto& [control, state] : controls) {
        writeFile(config + "/standin-control", control + "\n");
        EXPECT_EQ(authenticationStateOf(standInStatus(home)), state) << control;
    }
}

TEST(GitHubAuthenticationState, AStandInSignInIsConnectedOnlyWithItsTokenInTheKeychain) {
    SKIP_OUTSIDE_SESSION_SERVICES();
    std::string home;
    auto config = freshConfig(home);
    ASSERT_EQ(signInStandIn(home, "state-user", "gho_token"), 0);
    EXPECT_EQ(authenticationStateOf(standInStatus(home)), GitHubState::connected);

    for (const auto& [control, state] : std::vector<std::pair<std::string, GitHubState>>{
             {"status.offline=1", GitHubState::unavailable},
             {"status.state=timeout", GitHubState::unavailable},
             {"status.state=failure", GitHubState::notConnected},
             {"status.token-source=oauth_token", GitHubState::secureStorageRequired}}) {
        writeFile(config + "/standin-control", control + "\n");
        EXPECT_EQ(authenticationStateOf(standInStatus(home)), state) << control;
    }
}

TEST(PrepareGitHubAuthenticationStorage, RefusesADirectoryOthersCanReachAndLeavesItAlone) {
    std::string home = makeScratchFolder("dovrel-home");
    auto config = configDirectoryBelow(home);
    makeFolders(config);
    chmod(config.c_str(), 0755);
    setenv("HOME", home.c_str(), 1);
    EXPECT_FALSE(prepareGitHubAuthenticationStorage(bundledKeychainFunctions()));
    EXPECT_EQ(modeOf(config), 0755u);

    std::string fileHome = makeScratchFolder("dovrel-home");
    makeFolders(fileHome + "/Library/Application Support/Dovrel/state");
    writeFile(configDirectoryBelow(fileHome), "not a directory");
    setenv("HOME", fileHome.c_str(), 1);
    EXPECT_FALSE(prepareGitHubAuthenticationStorage(bundledKeychainFunctions()));
}

} // namespace
