// The bundle as the build lays it out and as `cmake --install` lays it out at a prefix: both hold
// exactly the build's list of entries, file for file.
#include "tests/github/github_test_support.h"
#include "tests/support/run_program.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <set>

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

TEST(Bundle, TheInstallLaysOutTheBuiltBundleEntryForEntry) {
    auto listed = bundleEntries();
    EXPECT_EQ(entriesBelow(bundlePath()), std::set<std::string>(listed.begin(), listed.end()));

    auto prefix = makeScratchFolder("dovrel-install");
    auto run = runProgram({.program = DOVREL_TEST_CMAKE,
                           .arguments = {"--install", DOVREL_TEST_BUILD, "--prefix", prefix},
                           .timeout = std::chrono::minutes(10)});
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    auto installed = prefix + "/Dovrel.app";
    EXPECT_EQ(entriesBelow(installed), entriesBelow(bundlePath()));
    for (const auto& entry : listed)
        expectSameEntry(bundlePath() + "/" + entry, installed + "/" + entry);
    fs::remove_all(prefix);
}
