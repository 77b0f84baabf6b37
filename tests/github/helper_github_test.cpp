// The helper's "github-status" and "github-auth" against the packaged stand-in, whose record of calls
// shows which GitHub CLI runs each request made.
#include "tests/github/github_test_support.h"
#include "tests/support/run_program.h"

#include <csignal>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string connectedStatus =
    R"({"hosts":{"github.com":[{"active":true,"host":"github.com","tokenSource":"keyring","state":"success"}]}})";
const std::string auth = R"({"operation":"github-auth"})";
const std::string status = R"({"operation":"github-status"})";

struct HelperGitHub : ::testing::Test {
    std::string home = makeScratchFolder("dovrel-home");
    std::string config = configDirectoryBelow(home);
    std::string program = bundleProgram("helper");

    void SetUp() override {
        makeFolders(config);
        chmod(config.c_str(), 0700);
        writeFile(config + "/standin-calls", "");
        writeFile(config + "/connected.json", connectedStatus);
    }

    std::string ask(const std::string& request) {
        return ::ask(request, environmentWith({"HOME=" + home}), program);
    }

    void control(const std::string& lines) { writeFile(config + "/standin-control", lines); }
    std::string calls() { return readFile(config + "/standin-calls"); }
};

struct HelperGitHubWithKeychain : HelperGitHub {
    void SetUp() override {
        SKIP_OUTSIDE_SESSION_SERVICES();
        HelperGitHub::SetUp();
    }
};

TEST_F(HelperGitHub, StatusReportsEveryStateAndRefusesOtherMembersUnasked) {
    EXPECT_EQ(ask(R"({"operation":"github-status","account":"x"})"), failureReplyText);
    EXPECT_EQ(ask(R"({"operation":"github-auth","values":{}})"), failureReplyText);
    EXPECT_EQ(calls(), "");

    EXPECT_EQ(ask(R"({"operation":"github-status","language":"zh-Hant"})"),
              R"({"authenticated":false,"ok":true,"state":"not-connected"})");
    control("status.exit=1\n");
    EXPECT_EQ(ask(status), R"({"authenticated":false,"ok":true,"state":"unavailable"})");
    control("status.answer=connected.json\n");
    EXPECT_EQ(ask(status), R"({"authenticated":true,"ok":true,"state":"connected"})");
    // Too few descriptors for a run: the CLI is not missing, its state is not known.
    auto starved = runProgram({.program = "/bin/sh",
                               .arguments = {"-c", "ulimit -n 5 && exec \"$0\"", program},
                               .input = status,
                               .environment = environmentWith({"HOME=" + home})});
    EXPECT_EQ(starved.out, R"({"authenticated":false,"ok":true,"state":"unavailable"})");
    EXPECT_EQ(calls(), "status\nstatus\nstatus\n");
}

TEST_F(HelperGitHub, AuthWhenConnectedOrWithoutTheCliStartsNoSignIn) {
    control("status.answer=connected.json\n");
    EXPECT_EQ(ask(auth), R"({"authenticated":true,"ok":true,"state":"connected"})");
    EXPECT_EQ(calls(), "status\n");

    ScratchBundle bundle = copyBundle({"helper"}, {});
    writeFile(bundle.cli(), readFile("/bin/true"), 0755);
    program = bundle.program("helper");
    std::string freshHome = makeScratchFolder("dovrel-home");
    home = freshHome;
    EXPECT_EQ(ask(status), R"({"authenticated":false,"ok":true,"state":"component-missing"})");
    EXPECT_EQ(ask(auth), R"({"ok":false,"state":"component-missing"})");
    // The storage preparation would have created the configuration directory.
    EXPECT_EQ(access((freshHome + "/Library").c_str(), F_OK), -1);
}

TEST_F(HelperGitHub, AuthNeedsSecureStorageBeforeItSignsIn) {
    chmod(config.c_str(), 0755);
    EXPECT_EQ(ask(auth), R"({"ok":false,"state":"secure-storage-required"})");
    control("status.exit=1\n");
    EXPECT_EQ(ask(auth), R"({"ok":false,"state":"secure-storage-required"})");
    EXPECT_EQ(calls(), "status\nstatus\n");
    EXPECT_EQ(modeOf(config), 0755u);
}

TEST_F(HelperGitHubWithKeychain, TheSignInsOutcomeDecidesTheReply) {
    control("login.exit=1\n");
    EXPECT_EQ(ask(auth), R"({"ok":false,"state":"not-connected"})");
    EXPECT_EQ(calls(), "status\nlogin\n");

    control("login.output-size=70000\n");
    EXPECT_EQ(ask(auth), R"({"ok":false,"state":"not-connected"})");

    writeFile(config + "/standin-calls", "");
    control("login.exit=0\n");
    EXPECT_EQ(ask(auth), R"({"authenticated":false,"ok":false,"state":"not-connected"})");
    EXPECT_EQ(calls(), "status\nlogin\nstatus\n");

    // A state that stays unreadable after a completed sign-in is reported as it is.
    writeFile(config + "/standin-browser", "user=outcome-user\ntoken=gho_x\n");
    control("status.exit=3\n");
    EXPECT_EQ(ask(auth), R"({"authenticated":false,"ok":false,"state":"unavailable"})");

    control("");
    EXPECT_EQ(ask(status), R"({"authenticated":true,"ok":true,"state":"connected"})");
}

TEST_F(HelperGitHubWithKeychain, ASignInWhoseBrowserOutlivesTheLoginCounts) {
    writeFile(config + "/standin-browser", "user=browser-user\ntoken=gho_browser\n");
    control("login.browser-holds-output=1\n");
    EXPECT_EQ(ask(auth), R"({"authenticated":true,"ok":true,"state":"connected"})");
    EXPECT_EQ(calls(), "status\nlogin\nstatus\n");
    // The browser is the user's: it is left running.
    pid_t browser = std::stoi(readFile(config + "/standin-browser-pid"));
    EXPECT_EQ(kill(browser, 0), 0);
    kill(browser, SIGKILL);
}

TEST_F(HelperGitHubWithKeychain, ASignInThatOutlastsItsLimitIsUnavailable) {
    ScratchBundle bundle = copyBundle({}, {"helper_github_probe"});
    auto run = runProgram({.program = bundle.program("helper_github_probe"),
                           .arguments = {"auth", "1"},
                           .environment = environmentWith({"HOME=" + home})});
    EXPECT_EQ(run.out, "{\"ok\":false,\"state\":\"unavailable\"}\n");
    // Whether the sign-in was made after all is asked once more.
    EXPECT_EQ(calls(), "status\nlogin\nstatus\n");

    // The stand-in's login ignoring SIGTERM is ended by force just the same.
    control("login.ignore-term=1\n");
    run = runProgram({.program = bundle.program("helper_github_probe"),
                      .arguments = {"auth", "0.5"},
                      .environment = environmentWith({"HOME=" + home})});
    EXPECT_EQ(run.out, "{\"ok\":false,\"state\":\"unavailable\"}\n");
}

} // namespace

namespace {

// Waits for the helper's run of the GitHub CLI `command` ("status" or "login") and gives its process.
pid_t runningCli(const StartedChild& helper, const std::function<std::string()>& calls, const char* command) {
    pid_t cli = -1;
    eventually([&] {
        auto children = childrenOf(helper.pid);
        if (children.empty() || calls().find(std::string(command) + "\n") == std::string::npos)
            return false;
        cli = children.front();
        return true;
    });
    return cli;
}

TEST_F(HelperGitHub, ACallerThatIgnoresChildEndsStillGetsTheRealState) {
    control("status.answer=connected.json\n");
    auto run = runProgram({.program = "/usr/bin/env",
                           .arguments = {"--ignore-signal=CHLD", program},
                           .input = status,
                           .environment = environmentWith({"HOME=" + home})});
    EXPECT_EQ(run.out, R"({"authenticated":true,"ok":true,"state":"connected"})");
}

TEST_F(HelperGitHub, ACrashLeavesNoCoreFileAndTheHelperStaysReadable) {
    control("status.delay=600\n");
    std::string folder = makeScratchFolder("dovrel-core");
    // Core files on, in a folder of their own, as a user's `ulimit -c unlimited` in a work tree would.
    auto start = [&](const std::string& executable, const std::string& arguments) {
        return startInBackground(
            "/bin/sh",
            {"-c", "ulimit -c unlimited && cd \"$1\" && exec \"$0\" " + arguments, executable, folder},
            status, environmentWith({"HOME=" + home}));
    };
    auto cores = [&] {
        int count = 0;
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            count += entry.path().filename().string().starts_with("core");
        return count;
    };
    auto control = start("/bin/sleep", "600");
    ASSERT_TRUE(
        eventually([&] { return readFile("/proc/" + std::to_string(control.pid) + "/comm") == "sleep\n"; }));
    kill(control.pid, SIGQUIT);
    auto controlEnd = collectChild(control.process.get());
    if (!controlEnd.bySignal || cores() == 0)
        GTEST_SKIP() << "this machine writes no core files";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directory(folder);

    auto helper = start(program, "");
    ASSERT_GT(runningCli(
                  helper, [&] { return calls(); }, "status"),
              0);
    auto probe = runProgram({bundleProgram("pidlens"), {"--probe", std::to_string(helper.pid)}});
    kill(helper.pid, SIGQUIT);
    auto end = collectChild(helper.process.get());
    EXPECT_EQ(probe.exitStatus, 0) << probe.out;
    EXPECT_TRUE(end.bySignal);
    EXPECT_EQ(end.status, SIGQUIT);
    EXPECT_EQ(cores(), 0);
    std::filesystem::remove_all(folder);
}

TEST_F(HelperGitHubWithKeychain, TheSignInEndsBeforeAHelperThatIsStopped) {
    control("login.wait=600\n");
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGKILL}) {
        writeFile(config + "/standin-calls", "");
        auto helper = startInBackground(program, {}, auth, environmentWith({"HOME=" + home}));
        auto login = watchProcess(runningCli(
            helper, [&] { return calls(); }, "login"));
        ASSERT_TRUE(login.valid()) << strsignal(signal);
        kill(helper.pid, signal);
        auto end = collectChild(helper.process.get());
        EXPECT_TRUE(end.bySignal) << strsignal(signal);
        EXPECT_EQ(end.status, signal);
        // SIGKILL cannot be handled: the sign-in gets the parent-death signal, a moment later. Every
        // other stop ends the sign-in before the helper itself.
        auto by = signal == SIGKILL ? ChildClock::now() + std::chrono::minutes(2) : ChildClock::now();
        EXPECT_TRUE(awaitChildEnd(login.get(), by)) << strsignal(signal);
    }
}

} // namespace
