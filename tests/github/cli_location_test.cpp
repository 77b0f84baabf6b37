// The shipped CLI check on real files.
#include "github/github.h"
#include "platform/crypto/crypto.h"
#include "platform/descriptor.h"
#include "tests/github/github_test_support.h"
#include "tests/support/run_program.h"

#include <cctype>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

// A resources folder holding runtime/gh with the given contents and mode.
struct Candidate {
    std::string resources;
    std::string path;
    std::string digest;
};

Candidate placeCli(const std::string& contents, unsigned mode) {
    Candidate candidate;
    candidate.resources = makeScratchFolder("dovrel-resources");
    makeFolders(candidate.resources + "/runtime");
    candidate.path = candidate.resources + "/runtime/gh";
    writeFile(candidate.path, contents, mode);
    OwnedDescriptor written(open(candidate.path.c_str(), O_RDONLY | O_CLOEXEC));
    candidate.digest = sha256HexOfFile(written.get(), contents.size()).value_or("");
    return candidate;
}

bool accepted(const Candidate& candidate) {
    return verifiedGitHubCli(candidate.resources, candidate.digest).has_value();
}

// The digest as an independent tool computes it.
std::string sha256sumOf(const std::string& path) {
    auto run = runProgram({.program = "/usr/bin/sha256sum", .arguments = {path}});
    return run.out.substr(0, 64);
}

void makeSparse(const std::string& path, off_t size) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0755);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, size), 0);
    close(fd);
    chmod(path.c_str(), 0755);
}

TEST(ShippedGitHubCli, PermissionsDecideWhetherItMayRun) {
    auto candidate = placeCli("#!/bin/sh\necho gh\n", 0755);
    for (unsigned mode : {0755u, 0700u, 0701u, 04755u}) {
        chmod(candidate.path.c_str(), mode);
        EXPECT_TRUE(accepted(candidate)) << std::oct << mode;
    }
    for (unsigned mode : {0775u, 0757u, 0644u, 0600u, 0777u}) {
        chmod(candidate.path.c_str(), mode);
        EXPECT_FALSE(accepted(candidate)) << std::oct << mode;
    }
}

// Small files are read and large ones mapped a window at a time; both ways, at and across the sizes
// where they meet, give the digest sha256sum gives.
TEST(ShippedGitHubCli, DigestMatchesSha256sumAtEverySizeOfRead) {
    for (std::size_t size : {1ul, 256ul << 10, (256ul << 10) + 1, (8ul << 20) + 7}) {
        std::string contents(size, '\0');
        for (std::size_t i = 0; i < size; ++i)
            contents[i] = static_cast<char>((i * 131) >> 7);
        auto candidate = placeCli(contents, 0755);
        ASSERT_EQ(candidate.digest, sha256sumOf(candidate.path)) << size;
        EXPECT_TRUE(accepted(candidate)) << size;
    }
}

TEST(ShippedGitHubCli, OnlyTheExactDigestInLowerCaseIsAccepted) {
    auto candidate = placeCli("#!/bin/sh\necho gh\n", 0755);
    ASSERT_EQ(candidate.digest, sha256sumOf(candidate.path));
    auto found = verifiedGitHubCli(candidate.resources, candidate.digest);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->path, candidate.path);
    EXPECT_EQ(verifiedGitHubCli(candidate.resources, candidate.digest)->path, candidate.path);

    for (std::size_t position : {0ul, 31ul, 63ul}) {
        auto wrong = candidate.digest;
        wrong[position] = wrong[position] == '0' ? '1' : '0';
        EXPECT_FALSE(verifiedGitHubCli(candidate.resources, wrong)) << position;
    }
    auto upper = candidate.digest;
    for (auto& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_FALSE(verifiedGitHubCli(candidate.resources, upper));
    EXPECT_FALSE(verifiedGitHubCli(candidate.resources, candidate.digest.substr(0, 63)));
    EXPECT_FALSE(verifiedGitHubCli(candidate.resources, candidate.digest + "0"));
    EXPECT_FALSE(verifiedGitHubCli(candidate.resources, ""));

    writeFile(candidate.path, "#!/bin/sh\necho gh \n", 0755);
    EXPECT_FALSE(accepted(candidate));
}

TEST(ShippedGitHubCli, SizeMustBeOneToOneHundredMillionBytes) {
    auto empty = placeCli("", 0755);
    EXPECT_FALSE(accepted(empty));

    auto largest = placeCli("x", 0755);
    makeSparse(largest.path, 100'000'000);
    largest.digest = sha256sumOf(largest.path);
    EXPECT_TRUE(accepted(largest));

    makeSparse(largest.path, 100'000'001);
    largest.digest = sha256sumOf(largest.path);
    EXPECT_FALSE(accepted(largest));
}

TEST(ShippedGitHubCli, NothingButARegularFileReachedWithoutLinksIsAccepted) {
    auto real = placeCli("#!/bin/sh\necho gh\n", 0755);

    auto linkedCli = placeCli("", 0755);
    unlink(linkedCli.path.c_str());
    ASSERT_EQ(symlink(real.path.c_str(), linkedCli.path.c_str()), 0);
    EXPECT_FALSE(verifiedGitHubCli(linkedCli.resources, real.digest));

    auto linkedRuntime = makeScratchFolder("dovrel-resources");
    ASSERT_EQ(symlink((real.resources + "/runtime").c_str(), (linkedRuntime + "/runtime").c_str()), 0);
    EXPECT_FALSE(verifiedGitHubCli(linkedRuntime, real.digest));

    auto folder = placeCli("", 0755);
    unlink(folder.path.c_str());
    mkdir(folder.path.c_str(), 0755);
    EXPECT_FALSE(verifiedGitHubCli(folder.resources, real.digest));

    // Opening a FIFO for reading would wait for a writer that never comes.
    auto fifo = placeCli("", 0755);
    unlink(fifo.path.c_str());
    ASSERT_EQ(mkfifo(fifo.path.c_str(), 0755), 0);
    EXPECT_FALSE(verifiedGitHubCli(fifo.resources, real.digest));

    auto missing = makeScratchFolder("dovrel-resources");
    EXPECT_FALSE(verifiedGitHubCli(missing, real.digest));
}

TEST(ShippedGitHubCli, WhatWasCheckedIsWhatRuns) {
    auto candidate = placeCli(readFile("/bin/echo"), 0755);
    auto checked = verifiedGitHubCli(candidate.resources, candidate.digest);
    ASSERT_TRUE(checked);
    // Swapped in after the check, and never run.
    auto impostor = candidate.resources + "/impostor";
    copyFile("/bin/false", impostor, 0755);
    ASSERT_EQ(rename(impostor.c_str(), candidate.path.c_str()), 0);

    auto run = runChildProcess(
        {checked->path, checked->file.get(), {"checked"}, {{"PATH", "/usr/bin:/bin"}}, "/"}, {}, 10);
    EXPECT_TRUE(run.succeeded());
    EXPECT_EQ(run.bytes, "checked\n");
}

TEST(ShippedGitHubCli, AChildStartedFromTheCheckedFileGetsNoOtherDescriptor) {
    auto candidate = placeCli(readFile("/bin/sh"), 0755);
    int leaked = open("/dev/null", O_RDONLY);
    auto checked = verifiedGitHubCli(candidate.resources, candidate.digest);
    ASSERT_TRUE(checked);
    auto run = runChildProcess(
        {checked->path, checked->file.get(), {"-c", "ls /proc/$$/fd"}, {{"PATH", "/usr/bin:/bin"}}, "/"}, {},
        10);
    close(leaked);
    EXPECT_TRUE(run.succeeded());
    EXPECT_EQ(run.bytes, "0\n1\n2\n");
}

TEST(GitHubCliContract, TheBuildRefusesACliThatLacksAFlagAndTakesTheStandIn) {
    std::string script = std::string(DOVREL_TEST_SOURCE) + "/github/github_cli.cmake";
    auto standIn =
        runProgram({.program = DOVREL_TEST_CMAKE,
                    .arguments = {"-DCLI=" + bundlePath() + "/Contents/Resources/runtime/gh", "-P", script},
                    .timeout = std::chrono::minutes(10)});
    EXPECT_EQ(standIn.exitStatus, 0) << standIn.err;

    // Like a packaged CLI from before --json: everything else is there.
    std::string cli = writeScript(R"(case "$*" in
"auth status --help") echo "gh auth status [flags] -a, --active -h, --hostname string" ;;
"auth login --help") echo "gh auth login [flags] --hostname --git-protocol --web --clipboard --skip-ssh-key" ;;
"auth git-credential --help") echo "gh auth git-credential [flags]" ;;
*) exit 1 ;;
esac)");
    auto folder = makeScratchFolder("dovrel-configure");
    auto configure = runProgram(
        {.program = DOVREL_TEST_CMAKE,
         .arguments = {"-S", DOVREL_TEST_SOURCE, "-B", folder, "-G", "Ninja", "-DDOVREL_GITHUB_CLI=" + cli},
         .timeout = std::chrono::minutes(10)});
    std::filesystem::remove_all(folder);
    EXPECT_NE(configure.exitStatus, 0);
    EXPECT_NE(configure.err.find("auth status: --json\n"), std::string::npos) << configure.err;
    EXPECT_EQ(configure.err.find("auth login"), std::string::npos) << configure.err;
}

} // namespace
