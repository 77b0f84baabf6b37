// credward as git runs it: arguments, a request on standard input, and the exact answer, marker line
// and exit status, against the packaged stand-in for the GitHub CLI.
#include "tests/github/github_test_support.h"
#include "tests/support/run_program.h"

#include <csignal>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

const std::string request = "protocol=https\nhost=github.com\n\n";
const std::string connectedStatus =
    R"({"hosts":{"github.com":[{"active":true,"host":"github.com","tokenSource":"keyring","state":"success"}]}})";

struct Credward : ::testing::Test {
    std::string home = makeScratchFolder("dovrel-home");
    std::string config = configDirectoryBelow(home);
    std::string program = bundleProgram("credward");

    void SetUp() override { makeFolders(config); }

    ProgramRun credward(const std::vector<std::string>& arguments, const std::string& input,
                        const std::vector<std::string>& changes = {}) {
        auto environment = changes;
        environment.push_back("HOME=" + home);
        return runProgram({.program = program,
                           .arguments = arguments,
                           .input = input,
                           .environment = environmentWith(environment)});
    }

    ProgramRun get(const std::string& input) { return credward({"get"}, input); }

    // The stand-in reports a sign-in and answers the credential command with `reply`.
    void answerWith(const std::string& reply, const std::string& more = "") {
        writeFile(config + "/connected.json", connectedStatus);
        writeFile(config + "/reply.txt", reply);
        writeFile(config + "/standin-control",
                  "status.answer=connected.json\ncredential.answer=reply.txt\n" + more);
    }
};

// A well-formed request for GitHub of exactly `size` bytes, padded with dropped keys.
std::string requestOfSize(std::size_t size) {
    std::string input = "protocol=https\nhost=github.com\nusername=" + std::string(100, 'a') + "\n";
    std::string line = "x=" + std::string(4096, 'v') + "\n";
    while (size - input.size() > line.size())
        input += line;
    return input + "y=" + std::string(size - input.size() - 3, 'w') + "\n";
}

void expectSilentExit(const ProgramRun& run, int status, const std::string& what) {
    EXPECT_EQ(run.exitStatus, status) << what;
    EXPECT_EQ(run.out, "") << what;
    EXPECT_EQ(run.err, "") << what;
}

TEST_F(Credward, ServesOnlyGetAndNeedsExactlyOneArgument) {
    std::string large(1 << 20, 'x');
    for (const auto& action : {"store", "erase", "GET", ""})
        expectSilentExit(credward({action}, large), 0, action);
    expectSilentExit(credward({}, request), 2, "no action");
    expectSilentExit(credward({"get", "extra"}, request), 2, "two arguments");
}

TEST_F(Credward, MalformedRequestsExitTwoWithoutAWord) {
    const std::vector<std::pair<std::string, std::string>> table{
        {"invalid UTF-8", "protocol=https\nhost=github.com\npath=\xc3\x28\n\n"},
        {"encoded surrogate", "protocol=https\nhost=github.com\npath=\xed\xa0\x80\n\n"},
        {"CRLF", "protocol=https\r\nhost=github.com\r\n\r\n"},
        {"NUL", std::string("protocol=https\nhost=github.com\0\n\n", 33)},
        {"NUL after the end", std::string("protocol=https\nhost=github.com\n\n\0", 33)},
        {"line without =", "protocol=https\nhost\n\n"},
        {"url", "protocol=https\nhost=github.com\nurl=https://github.com/a/b\n\n"},
        {"long dropped value",
         "protocol=https\nhost=github.com\nwwwauth[]=" + std::string(4097, 'v') + "\n\n"},
        {"long host", "protocol=https\nhost=" + std::string(4097, 'h') + "\n\n"},
        {"repeated host", "protocol=https\nhost=github.com\nhost=github.com\n\n"},
        {"101-character user", "protocol=https\nhost=github.com\nusername=" + std::string(101, 'u') + "\n\n"},
        {"user with .", "protocol=https\nhost=github.com\nusername=oct.cat\n\n"},
        {"user with a space", "protocol=https\nhost=github.com\nusername=oct cat\n\n"},
        {"one byte over the limit", requestOfSize(65537)},
    };
    for (const auto& [what, input] : table)
        expectSilentExit(get(input), 2, what);
}

TEST_F(Credward, RequestsNotForGitHubOverHttpsExitOne) {
    const std::vector<std::pair<std::string, std::string>> table{
        {"http", "protocol=http\nhost=github.com\n\n"},
        {"http with a bad user name", "protocol=http\nhost=github.com\nusername=a.b\n\n"},
        {"port", "protocol=https\nhost=github.com:443\n\n"},
        {"letter case", "protocol=https\nhost=GitHub.com\n\n"},
        {"other host", "protocol=https\nhost=gitlab.com\n\n"},
        {"ending in GitHub's name", "protocol=https\nhost=notgithub.com\n\n"},
        {"beginning with GitHub's name", "protocol=https\nhost=github.com.evil\n\n"},
        {"ending in the gist host's name", "protocol=https\nhost=evilgist.github.com\n\n"},
        {"below GitHub's name", "protocol=https\nhost=api.github.com\n\n"},
        {"trailing space", "protocol=https \nhost=github.com\n\n"},
        {"no accepted key", "capability[]=authtype\n\n"},
        {"empty request", ""},
        {"host only after the end", "protocol=https\n\nhost=github.com\n"},
    };
    for (const auto& [what, input] : table)
        expectSilentExit(get(input), 1, what);
}

TEST_F(Credward, WithoutAUsableSignInGitIsToldToStopWithAMarker) {
    auto run = get(request);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.err, "DOVREL_GITHUB_AUTH_REQUIRED\n");
    EXPECT_EQ(run.out, "quit=true\n\n");

    const std::vector<std::pair<std::string, std::string>> table{
        {"status.exit=1", "DOVREL_GITHUB_AUTH_UNAVAILABLE\n"},
        {"status.answer=insecure.json", "DOVREL_GITHUB_AUTH_UNAVAILABLE\n"},
        {"status.exit=127", "DOVREL_GITHUB_COMPONENT_UNAVAILABLE\n"},
    };
    writeFile(config + "/connected.json", connectedStatus);
    writeFile(config + "/insecure.json",
              R"({"hosts":{"github.com":[{"active":true,"host":"github.com","state":"success"}]}})");
    for (const auto& [control, marker] : table) {
        writeFile(config + "/standin-control", control + "\n");
        auto stopped = get(request);
        EXPECT_EQ(stopped.exitStatus, 1) << control;
        EXPECT_EQ(stopped.err, marker) << control;
        EXPECT_EQ(stopped.out, "quit=true\n\n") << control;
    }

    ScratchBundle bundle = copyBundle({"credward"}, {});
    writeFile(bundle.cli(), readFile("/bin/true"), 0755);
    program = bundle.program("credward");
    auto missing = get(request);
    EXPECT_EQ(missing.exitStatus, 1);
    EXPECT_EQ(missing.err, "DOVREL_GITHUB_COMPONENT_UNAVAILABLE\n");
    EXPECT_EQ(missing.out, "quit=true\n\n");
}

TEST_F(Credward, AnswersWithTheCliUserAndTokenAndPassesTheExactQuery) {
    writeFile(config + "/standin-calls", "");
    answerWith("protocol=https\nhost=github.com\nusername=octocat\npassword=gho_secret\n");
    // A managed account's name joins handle and short code with "_".
    auto run = get("protocol=https\nhost=github.com\nusername=someone-else_acme\npath=a/b.git\n\n");
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, "username=octocat\npassword=gho_secret\n\n");
    EXPECT_EQ(readFile(config + "/standin-credential-input"),
              "protocol=https\nhost=github.com\nusername=someone-else_acme\n\n");
    EXPECT_EQ(readFile(config + "/standin-calls"), "status\ncredential\n");

    // An empty user name is no user name; modern git's extra attributes are dropped; a repeated dropped
    // key is harmless; whatever follows the empty line is not looked at.
    auto modern =
        get("capability[]=authtype\ncapability[]=state\nprotocol=https\nhost=github.com\nusername=\n"
            "wwwauth[]=Basic realm=\"GitHub\"\nwwwauth[]=Bearer\n\nurl=https://evil.example\nhost=x\n");
    EXPECT_EQ(modern.exitStatus, 0);
    EXPECT_EQ(modern.out, "username=octocat\npassword=gho_secret\n\n");
    EXPECT_EQ(readFile(config + "/standin-credential-input"), "protocol=https\nhost=github.com\n\n");

    answerWith("protocol=https\nhost=gist.github.com\nusername=octocat\npassword=gho_secret\nextra=1=2\n\n");
    auto gist = get("protocol=https\nhost=gist.github.com\n\n");
    EXPECT_EQ(gist.exitStatus, 0);
    EXPECT_EQ(gist.out, "username=octocat\npassword=gho_secret\n\n");
}

TEST_F(Credward, RequestsUpToTheLimitsAreAccepted) {
    answerWith("protocol=https\nhost=github.com\nusername=octocat\npassword=gho_secret\n");
    std::string input = requestOfSize(65536);
    ASSERT_EQ(input.size(), 65536u);
    auto run = get(input);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.out, "username=octocat\npassword=gho_secret\n\n");
}

TEST_F(Credward, AnEndlessRequestIsRefusedWithoutReadingToItsEnd) {
    auto run = runProgram({.program = "/bin/sh",
                           .arguments = {"-c", "yes | \"$0\" get", program},
                           .environment = environmentWith({"HOME=" + home})});
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 2);
}

TEST_F(Credward, UnusableCliRepliesExitOneWithNothingWritten) {
    const std::string good = "protocol=https\nhost=github.com\nusername=octocat\npassword=gho_secret\n";
    const std::vector<std::pair<std::string, std::string>> table{
        {"empty password", "protocol=https\nhost=github.com\nusername=octocat\npassword=\n"},
        {"no password", "protocol=https\nhost=github.com\nusername=octocat\n"},
        {"empty user", "protocol=https\nhost=github.com\nusername=\npassword=p\n"},
        {"other host", "protocol=https\nhost=gist.github.com\nusername=octocat\npassword=p\n"},
        {"http", "protocol=http\nhost=github.com\nusername=octocat\npassword=p\n"},
        {"no protocol", "host=github.com\nusername=octocat\npassword=p\n"},
        {"CRLF", "protocol=https\r\nhost=github.com\r\nusername=octocat\r\npassword=p\r\n"},
        {"line without =", good + "garbage\n"},
        {"repeated key", good + "password=other\n"},
        {"not UTF-8", good + "note=\xff\n"},
        {"NUL", good + std::string("note=\0\n", 7)},
        {"nothing", ""},
    };
    for (const auto& [what, reply] : table) {
        answerWith(reply);
        expectSilentExit(get(request), 1, what);
    }
    for (const auto& control : {"credential.exit=1", "credential.output-size=65537", "credential.exit=124"}) {
        answerWith(good, std::string(control) + "\n");
        expectSilentExit(get(request), 1, control);
    }
}

TEST_F(Credward, ACallerThatIgnoresChildEndsStillGetsTheRealState) {
    auto run = runProgram({.program = "/usr/bin/env",
                           .arguments = {"--ignore-signal=CHLD", program, "get"},
                           .input = request,
                           .environment = environmentWith({"HOME=" + home})});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.err, "DOVREL_GITHUB_AUTH_REQUIRED\n");
}

TEST_F(Credward, TheCliEndsBeforeACredwardThatIsStopped) {
    writeFile(config + "/standin-calls", "");
    writeFile(config + "/standin-control", "status.delay=600\nstatus.ignore-term=1\n");
    auto credward = startInBackground(program, {"get"}, request, environmentWith({"HOME=" + home}));
    pid_t cli = -1;
    ASSERT_TRUE(eventually([&] {
        auto children = childrenOf(credward.pid);
        cli = children.empty() ? -1 : children.front();
        return cli > 0 && readFile(config + "/standin-calls") == "status\n";
    }));
    auto watched = watchProcess(cli);
    kill(credward.pid, SIGHUP);
    auto end = collectChild(credward.process.get());
    EXPECT_TRUE(end.bySignal);
    EXPECT_EQ(end.status, SIGHUP);
    // A CLI that ignores SIGTERM is killed, still before credward ends.
    EXPECT_TRUE(awaitChildEnd(watched.get(), ChildClock::now()));
}

} // namespace
