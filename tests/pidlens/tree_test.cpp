#include "tests/pidlens/process_tree.h"
#include "tests/support/run_program.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <set>
#include <sys/stat.h>

namespace {

std::string identity(pid_t pid) {
    auto run = pidlens({std::to_string(pid)});
    EXPECT_EQ(0, run.exitStatus);
    return run.out.substr(0, run.out.size() - 1);
}

// Under a soft limit on descriptors too low for a tree of 256, which pidlens raises to the hard one.
ProgramRun treeOf(pid_t root) {
    return runProgram({"/bin/sh",
                       {"-c", "ulimit -Sn 64 && exec \"$0\" --tree \"$1\"", bundleProgram("pidlens"),
                        std::to_string(root)}});
}

std::vector<pid_t> reportedPids(const std::string& out) {
    std::vector<pid_t> pids;
    for (const auto& element : nlohmann::json::parse(out))
        pids.push_back(element.at("pid").get<pid_t>());
    return pids;
}

// The nodes are numbered breadth-first, children in the order they were started, which is the order
// the kernel lists them in.
void expectWholeTree(const std::vector<TreeNode>& nodes) {
    auto tree = startProcessTree(nodes);
    auto run = treeOf(tree.pids[0]);
    EXPECT_EQ(0, run.exitStatus);
    ASSERT_EQ('\n', run.out.back());
    auto report = nlohmann::json::parse(run.out);
    ASSERT_EQ(nodes.size(), report.size());
    for (size_t i = 0; i < nodes.size(); ++i) {
        EXPECT_EQ(tree.pids[i], report[i].at("pid").get<pid_t>()) << "index " << i;
        if (i > 0) {
            EXPECT_EQ(tree.pids[nodes[i].parent], report[i].at("parentPid").get<pid_t>()) << "index " << i;
        }
    }
    stopProcessTree(tree);
}

} // namespace

TEST(PidlensTree, ProcessWithoutChildrenIsAOneElementArray) {
    auto tree = startProcessTree({{}});
    auto run = treeOf(tree.pids[0]);
    EXPECT_EQ(0, run.exitStatus);
    EXPECT_EQ("[" + identity(tree.pids[0]) + "]\n", run.out);
    stopProcessTree(tree);
}

TEST(PidlensTree, GrandchildrenComeAfterEveryChild) {
    // root: a, b; a: a1, a2; b: b1; a1: a1x. Depth-first would put a1 right after a.
    expectWholeTree({{}, {0}, {0}, {1}, {1}, {2}, {3}});
}

TEST(PidlensTree, ChildrenStartedByAnyThreadAreFound) {
    expectWholeTree({{-1, NodeKind::childrenFromThread}, {0}, {0, NodeKind::childrenFromThread}, {2}, {2}});
}

// One more process anywhere, or more children of one parent than a listing holds, fails as a whole.
TEST(PidlensTree, HoldsExactlyTwoHundredFiftySixProcesses) {
    expectWholeTree(twoLevelTree(15, 16));

    std::vector<std::vector<TreeNode>> tooMany{twoLevelTree(15, 16), twoLevelTree(255, 0),
                                               twoLevelTree(257, 0)};
    tooMany[0].push_back({20});
    tooMany[1].push_back({255});
    for (const auto& nodes : tooMany) {
        auto tree = startProcessTree(nodes);
        auto run = treeOf(tree.pids[0]);
        stopProcessTree(tree);
        EXPECT_EQ(3, run.exitStatus);
        EXPECT_EQ("", run.out);
    }
}

// The other user's own subtree is whole to that user, each object with its user: only a caller that is not
// root shows whether the users checked are those each process was read with.
TEST(PidlensTree, DescendantOfAnotherUserEndsTheArrayWhereItWouldBe) {
    auto tree = startProcessTree({{}, {0}, {0, NodeKind::otherUser}, {1}, {2}, {2}});
    auto run = treeOf(tree.pids[0]);
    std::string expected = "[" + identity(tree.pids[0]) + "," + identity(tree.pids[1]) + ",";
    std::string folder = makeScratchFolder("pidlens-nobody"), copy = folder + "/pidlens";
    std::filesystem::copy_file(bundleProgram("pidlens"), copy);
    chmod(folder.c_str(), 0755);
    auto own = runProgram(
        {"/usr/bin/setpriv",
         {"--reuid=65534", "--regid=65534", "--clear-groups", copy, "--tree", std::to_string(tree.pids[2])}});
    stopProcessTree(tree);
    std::filesystem::remove_all(folder);
    EXPECT_EQ(3, run.exitStatus);
    EXPECT_EQ(expected, run.out);
    if (own.exitStatus == 126 || own.exitStatus == 127)
        GTEST_SKIP() << "the user nobody cannot run pidlens from " << folder << ": " << own.err;
    ASSERT_EQ(0, own.exitStatus) << own.out;
    EXPECT_EQ(std::vector<pid_t>({tree.pids[2], tree.pids[4], tree.pids[5]}), reportedPids(own.out));
    for (const auto& element : nlohmann::json::parse(own.out))
        EXPECT_EQ(65534, element.at("uid").get<int>()) << element;
}

TEST(PidlensTree, ChildThatHasExitedIsLeftOut) {
    auto tree = startProcessTree({{-1, NodeKind::exitedChild}, {0, NodeKind::exitedChild}});
    auto run = treeOf(tree.pids[0]);
    stopProcessTree(tree);
    EXPECT_EQ(0, run.exitStatus);
    EXPECT_EQ(std::vector<pid_t>({tree.pids[0], tree.pids[1]}), reportedPids(run.out));
}

// Children start and end all the time under `a`; every answer must be a true tree that holds the
// processes that live throughout, or status 3.
TEST(PidlensTree, TreeUnderChurnIsRightOrRefused) {
    std::vector<TreeNode> nodes{{}, {0, NodeKind::churning}, {0}, {1}, {2, NodeKind::churning}};
    auto tree = startProcessTree(nodes);
    std::set<pid_t> steady(tree.pids.begin(), tree.pids.end());
    int answered = 0;
    for (int run = 0; run < 40; ++run) {
        auto result = treeOf(tree.pids[0]);
        ASSERT_TRUE(result.exitStatus == 0 || result.exitStatus == 3) << result.exitStatus;
        if (result.exitStatus != 0)
            continue;
        ++answered;
        auto report = nlohmann::json::parse(result.out);
        std::vector<pid_t> seen;
        std::set<pid_t> unseenSteady = steady;
        for (const auto& element : report) {
            pid_t pid = element.at("pid").get<pid_t>();
            pid_t parent = element.at("parentPid").get<pid_t>();
            EXPECT_EQ(std::find(seen.begin(), seen.end(), pid), seen.end()) << "twice: " << pid;
            if (!seen.empty()) {
                EXPECT_NE(std::find(seen.begin(), seen.end(), parent), seen.end()) << result.out;
            }
            if (!seen.empty() && !steady.contains(pid)) {
                EXPECT_TRUE(parent == tree.pids[1] || parent == tree.pids[4]) << result.out;
            }
            seen.push_back(pid);
            unseenSteady.erase(pid);
        }
        EXPECT_EQ(tree.pids[0], seen.front());
        EXPECT_TRUE(unseenSteady.empty()) << result.out;
    }
    stopProcessTree(tree);
    EXPECT_GT(answered, 0);
}
