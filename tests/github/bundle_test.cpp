// The integration as helper and credward see it: from a program inside a copied bundle, against the
// packaged GitHub CLI.
#include "tests/github/github_test_support.h"
#include "tests/support/run_program.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

const std::vector<std::string> statusQuery{"run",        "auth",       "status", "--active",
                                           "--hostname", "github.com", "--json", "hosts"};

struct BundleFixture : ::testing::Test {
    ScratchBundle bundle = copyBundle({}, {"github_cli_probe"});
    std::string home = makeScratchFolder("dovrel-home");

    std::string probe(const std::vector<std::string>& arguments, const std::string& program = "",
                      const std::vector<std::string>& changes = {}) {
        auto environment = changes;
        environment.push_back("HOME=" + home);
        auto run = runProgram({.program = program.empty() ? bundle.program("github_cli_probe") : program,
                               .arguments = arguments,
                               .environment = environmentWith(environment)});
        EXPECT_EQ(run.exitStatus, 0);
        return run.out;
    }
};

TEST_F(BundleFixture, ThePackagedCliRunsAndIsFoundFromTheRealLocationOfALinkedProgram) {
    EXPECT_EQ(probe(statusQuery), "0\n{\"hosts\":{}}\n");
    EXPECT_EQ(probe({"state"}), "not-connected\n");

    // Started with standard input closed, the program's own pipes must not take the child's numbers.
    auto closedInput = runProgram({.program = bundle.program("github_cli_probe"),
                                   .arguments = statusQuery,
                                   .environment = environmentWith({"HOME=" + home}),
                                   .closeInputAtStart = true});
    EXPECT_EQ(closedInput.out, "0\n{\"hosts\":{}}\n");

    std::string link = makeScratchFolder("dovrel-link") + "/probe";
    ASSERT_EQ(symlink(bundle.program("github_cli_probe").c_str(), link.c_str()), 0);
    EXPECT_EQ(probe(statusQuery, link), "0\n{\"hosts\":{}}\n");
}

TEST_F(BundleFixture, ASwappedCorruptedLoosenedOrLinkedCliIsAMissingComponent) {
    const std::string original = readFile(bundle.cli());
    auto restore = [&] {
        writeFile(bundle.cli(), original, 0755);
    };

    writeFile(bundle.cli(), readFile("/bin/true"), 0755);
    EXPECT_EQ(probe(statusQuery), "127\n");
    EXPECT_EQ(probe({"state"}), "component-missing\n");

    writeFile(bundle.cli(), original + "\n", 0755);
    EXPECT_EQ(probe(statusQuery), "127\n");

    restore();
    for (unsigned mode : {0775u, 0757u, 0644u}) {
        chmod(bundle.cli().c_str(), mode);
        EXPECT_EQ(probe({"state"}), "component-missing\n") << std::oct << mode;
    }

    restore();
    std::string elsewhere = makeScratchFolder("dovrel-runtime");
    ASSERT_EQ(rename((bundle.resources + "/runtime").c_str(), (elsewhere + "/runtime").c_str()), 0);
    ASSERT_EQ(symlink((elsewhere + "/runtime").c_str(), (bundle.resources + "/runtime").c_str()), 0);
    EXPECT_EQ(probe({"state"}), "component-missing\n");
    unlink((bundle.resources + "/runtime").c_str());
    EXPECT_EQ(probe({"state"}), "component-missing\n");
}

TEST_F(BundleFixture, AConfigurationDirectoryReachedThroughALinkRunsNothing) {
    makeFolders(home + "/Library/Application Support/Dovrel");
    std::string elsewhere = makeScratchFolder("dovrel-state");
    ASSERT_EQ(symlink(elsewhere.c_str(), (home + "/Library/Application Support/Dovrel/state").c_str()), 0);
    EXPECT_EQ(probe({"state"}), "component-missing\n");
    EXPECT_EQ(probe({"prepare"}), "refused\n");
}

TEST_F(BundleFixture, PreparationCreatesAPrivateDirectoryAndLeavesNoProbeItem) {
    SKIP_OUTSIDE_SESSION_SERVICES();
    umask(0);
    EXPECT_EQ(probe({"prepare"}), "prepared\n");
    umask(022);
    EXPECT_EQ(modeOf(configDirectoryBelow(home)), 0700u);
    EXPECT_EQ(modeOf(home + "/Library"), 0700u);
    EXPECT_EQ(probe({"prepare"}), "prepared\n");
    auto left = runProgram({.program = "/usr/bin/secret-tool",
                            .arguments = {"search", "--all", "service", "ai.dovrel.git-keychain-check"}});
    EXPECT_EQ(left.out, "");

    // Without a reachable keychain, nothing can be prepared.
    EXPECT_EQ(probe({"prepare"}, "", {"DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/bus"}), "refused\n");

    // Its group or anyone else let in, the directory is no longer private.
    for (unsigned mode : {0750u, 0705u}) {
        chmod(configDirectoryBelow(home).c_str(), mode);
        EXPECT_EQ(probe({"prepare"}), "refused\n") << std::oct << mode;
    }
}

} // namespace
