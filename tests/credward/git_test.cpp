// credward behind real git: `git credential fill`, `approve` and `reject` with credward configured as
// the helper by absolute path, and the whole road from "github-status" to git holding the token.
#include "tests/github/github_test_support.h"
#include "tests/support/run_program.h"

#include <future>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>

namespace {

struct GitWithCredward : ::testing::Test {
    std::string home = makeScratchFolder("dovrel-home");
    std::string config = configDirectoryBelow(home);

    void SetUp() override { SKIP_OUTSIDE_SESSION_SERVICES(); }

    ProgramRun git(const std::vector<std::string>& arguments, const std::string& input,
                   const std::string& nextHelper = "") {
        std::vector<std::string> command{"-c", "credential.helper=", "-c",
                                         "credential.helper=" + bundleProgram("credward")};
        if (!nextHelper.empty())
            command.insert(command.end(), {"-c", "credential.helper=" + nextHelper});
        command.insert(command.end(), arguments.begin(), arguments.end());
        return runProgram(
            {.program = "/usr/bin/git",
             .arguments = command,
             .input = input,
             .environment = environmentWith({"HOME=" + home, "GIT_TERMINAL_PROMPT=0", "GIT_CONFIG_NOSYSTEM=1",
                                             "GIT_ASKPASS", "SSH_ASKPASS"})});
    }

    std::string helper(const std::string& request) {
        auto run = runProgram({.program = bundleProgram("helper"),
                               .input = request,
                               .environment = environmentWith({"HOME=" + home})});
        EXPECT_EQ(run.exitStatus, 0);
        return run.out;
    }
};

const std::string fill = "protocol=https\nhost=github.com\npath=octocat/hello.git\n\n";

TEST_F(GitWithCredward, GitReceivesTheStandInsSignIn) {
    // Every test signs in a user of its own: the CLI keeps one token per user in the shared keychain.
    ASSERT_EQ(signInStandIn(home, "octocat", "gho_e2e_token"), 0);
    auto run = git({"credential", "fill"}, fill);
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, "protocol=https\nhost=github.com\nusername=octocat\npassword=gho_e2e_token\n");

    // approve and reject reach credward as "store" and "erase", which keep and remove nothing.
    std::string known = "protocol=https\nhost=github.com\nusername=octocat\npassword=gho_e2e_token\n\n";
    EXPECT_EQ(git({"credential", "approve"}, known).exitStatus, 0);
    EXPECT_EQ(git({"credential", "reject"}, known).exitStatus, 0);
    EXPECT_EQ(git({"credential", "fill"}, fill).out, run.out);
}

TEST_F(GitWithCredward, NotSignedInGitStopsWithoutPromptingAndCarriesTheMarker) {
    auto run =
        git({"credential", "fill"}, fill, "!f() { echo username=fallback; echo password=fallback; }; f");
    EXPECT_NE(run.exitStatus, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("DOVREL_GITHUB_AUTH_REQUIRED\n"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("Username"), std::string::npos) << run.err;
}

TEST_F(GitWithCredward, AUserNameInTheUrlMustBeTheSignedInOne) {
    ASSERT_EQ(signInStandIn(home, "monalisa_acme", "gho_managed_token"), 0);
    auto run = git({"credential", "fill"}, "url=https://monalisa_acme@github.com/acme/tools.git\n\n");
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out,
              "protocol=https\nhost=github.com\nusername=monalisa_acme\npassword=gho_managed_token\n");

    // Another account's name: the CLI hands out nothing, and git, which may not prompt, fails.
    auto other = git({"credential", "fill"}, "url=https://octocat@github.com/acme/tools.git\n\n");
    EXPECT_NE(other.exitStatus, 0);
    EXPECT_EQ(other.out, "");
}

TEST_F(GitWithCredward, ForAnotherHostGitGoesOnToItsNextHelper) {
    ASSERT_EQ(signInStandIn(home, "hubot", "gho_e2e_token"), 0);
    auto run = git({"credential", "fill"}, "protocol=https\nhost=gitlab.com\n\n",
                   "!f() { echo username=fallback; echo password=fallback-token; }; f");
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, "protocol=https\nhost=gitlab.com\nusername=fallback\npassword=fallback-token\n");
    EXPECT_EQ(run.err, "");
}

// Waits until `name` appears in `folder`, woken by the folder's change events.
bool awaitEntry(const std::string& folder, const std::string& name) {
    int watch = inotify_init1(IN_CLOEXEC);
    inotify_add_watch(watch, folder.c_str(), IN_CREATE | IN_MOVED_TO);
    auto deadline = std::chrono::steady_clock::now() + hangLimit;
    bool found = false;
    while (!(found = access((folder + "/" + name).c_str(), F_OK) == 0)) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd ready{watch, POLLIN, 0};
        if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0)
            break;
        char events[4096];
        (void)!read(watch, events, sizeof events);
    }
    close(watch);
    return found;
}

TEST_F(GitWithCredward, TheWholeRoadFromStatusToGitHoldingTheToken) {
    EXPECT_EQ(helper(R"({"operation":"github-status","language":"en"})"),
              R"({"authenticated":false,"ok":true,"state":"not-connected"})");
    EXPECT_NE(git({"credential", "fill"}, fill).exitStatus, 0);

    // The user completes the sign-in in the browser once the helper has prepared the directory.
    std::string state = home + "/Library/Application Support/Dovrel/state";
    makeFolders(state);
    auto auth = std::async(std::launch::async, [&] { return helper(R"({"operation":"github-auth"})"); });
    ASSERT_TRUE(awaitEntry(state, "github-cli"));
    writeFile(config + "/browser.partial", "user=mona\ntoken=gho_road_token\n", 0600);
    ASSERT_EQ(rename((config + "/browser.partial").c_str(), (config + "/standin-browser").c_str()), 0);
    EXPECT_EQ(auth.get(), R"({"authenticated":true,"ok":true,"state":"connected"})");
    EXPECT_EQ(modeOf(config), 0700u);

    EXPECT_EQ(helper(R"({"operation":"github-status"})"),
              R"({"authenticated":true,"ok":true,"state":"connected"})");
    auto run = git({"credential", "fill"}, fill);
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, "protocol=https\nhost=github.com\nusername=mona\npassword=gho_road_token\n");
}

} // namespace
