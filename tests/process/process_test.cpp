#include "platform/process/process.h"
#include "tests/pidlens/process_tree.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <optional>
#include <sys/mman.h>
#include <unistd.h>

namespace {

std::vector<uint32_t> listed(const ChildList& children) {
    return {children.ids, children.ids + children.count};
}

// The record read from `text` as if the kernel had written it as the calling process's stat file.
std::optional<ProcessRecord> statRecordOf(const std::string& text) {
    ProcessHandle process(static_cast<uint32_t>(getpid()));
    close(process.statFile);
    process.statFile = memfd_create("stat", MFD_CLOEXEC);
    ProcessRecord record;
    if (write(process.statFile, text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
        !readProcessStat(process, record))
        return std::nullopt;
    return record;
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

// Past the name's last ')' the fields are the kernel's own, so anything else there is refused; and a
// name of any length puts the read buffer's end into every digit of the start field at some length,
// where the line must be refused rather than read with a start cut short.
TEST(ProcessRecord, StatLinesThatAreMalformedOrCutShortAreRefused) {
    auto line = [](const std::string& name, const std::string& state) {
        return std::to_string(getpid()) + " (" + name + ")" + state +
               " 1 1 1 0 -1 4194560 9 0 0 0 5 6 0 0 20 0 1 0 1234567 8 9\n";
    };
    auto whole = statRecordOf(line("sleep", " S"));
    ASSERT_TRUE(whole);
    EXPECT_FALSE(statRecordOf(line("sleep", " SS")));
    EXPECT_FALSE(statRecordOf(line("sleep", "\tS")));
    for (size_t length = 1; length < 8192; ++length) {
        auto record = statRecordOf(line(std::string(length, 'x'), " S"));
        if (record) {
            EXPECT_EQ(whole->startSeconds, record->startSeconds) << "name of " << length;
        }
    }
}
