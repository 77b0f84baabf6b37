#include "platform/process_record.h"
#include "tests/pidlens/process_tree.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace {

std::vector<uint32_t> listed(const ChildList& children) {
    return {children.ids, children.ids + children.count};
}

} // namespace

// Children of the main thread and of a second thread, grandchildren and an exited child: the
// per-thread lists and the scan of every process must give the same children.
TEST(ProcessRecord, ChildListsAgreeWithAScanOfEveryProcess) {
    auto tree = startProcessTree({{-1, NodeKind::childrenFromThread}, {0}, {0, NodeKind::exitedChild}, {1}});
    ChildList fromLists, fromScan;
    bool listedOk = listChildren(static_cast<uint32_t>(tree.pids[0]), fromLists);
    bool scannedOk = listChildrenByScan(static_cast<uint32_t>(tree.pids[0]), fromScan);
    std::vector<uint32_t> expected{static_cast<uint32_t>(tree.pids[1]), static_cast<uint32_t>(tree.pids[2])};
    stopProcessTree(tree);

    ASSERT_TRUE(listedOk);
    ASSERT_TRUE(scannedOk);
    EXPECT_EQ(expected, listed(fromLists));
    auto scanned = listed(fromScan);
    std::sort(scanned.begin(), scanned.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, scanned);
}
