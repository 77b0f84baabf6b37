// The bundle as `cmake --install` lays it out at a prefix: the built bundle file for file, and its
// programs find their plugins, the GitHub CLI and its digest where they were installed.
#include "tests/github/github_test_support.h"
#include "tests/support/run_program.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <set>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::set<std::string> entriesBelow(const std::string& root) {
    std::set<std::string> entries;
    for (const auto& item : fs::recursive_directory_iterator(root))
        if (item.is_symlink() || !item.is_directory())
            entries.insert(item.path().lexically_relative(root).string());
    return entries;
}

void expectSameEntry(const std::string& built, const std::string& installed) {
    ASSERT_EQ(fs::is_symlink(installed), fs::is_symlink(built)) << installed;
    if (fs::is_symlink(built)) {
        EXPECT_EQ(fs::read_symlink(installed), fs::read_symlink(built));
        return;
    }
    EXPECT_EQ(fs::status(installed).permissions(), fs::status(built).permissions()) << installed;
    EXPECT_TRUE(readFile(installed) == readFile(built)) << installed;
}

} // namespace

TEST(Bundle, TheInstalledBundleIsTheBuiltOneAndWorksWhereItLies) {
    auto prefix = makeScratchFolder("dovrel-install");
    auto run = runProgram({.program = DOVREL_TEST_CMAKE,
                           .arguments = {"--install", DOVREL_TEST_BUILD, "--prefix", prefix},
                           .timeout = std::chrono::minutes(10)});
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    auto installed = prefix + "/Dovrel.app";
    EXPECT_EQ(entriesBelow(installed), entriesBelow(bundlePath()));
    for (const auto& entry : bundleEntries())
        expectSameEntry(bundlePath() + "/" + entry, installed + "/" + entry);

    // A CLI that did not arrive whole, or a plugin not found beside the installed helper, would answer
    // "component-missing"; the keychain plugin answers only inside the test session.
    const std::string bin = installed + "/Contents/Resources/bin/";
    auto home = environmentWith({"HOME=" + makeScratchFolder("dovrel-home")});
    EXPECT_EQ(ask(R"({"operation":"github-status"})", home, bin + "helper"),
              R"({"authenticated":false,"ok":true,"state":"not-connected"})");
    if (insideSessionServices()) {
        EXPECT_EQ(ask(R"({"operation":"exists","account":")" + std::string(64, 'a') + R"("})", home,
                      bin + "helper"),
                  R"({"exists":false,"ok":true})");
    }
    auto identity = runProgram({.program = bin + "pidlens", .arguments = {std::to_string(getpid())}});
    EXPECT_EQ(identity.exitStatus, 0);
    fs::remove_all(prefix);
}
