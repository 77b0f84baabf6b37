#include "platform/process/process.h"
#include "tests/pidlens/process_tree.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <optional>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>

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

// The users come from the pidfd where the kernel tells them there, else from the status file: both give
// the effective and the real user as they are, also when only one of them is another user.
TEST(ProcessRecord, UsersAreTheSameThroughThePidfdAndTheStatusFile) {
    auto tree = startProcessTree({{}, {0, NodeKind::otherUser}, {0, NodeKind::otherRealUser}});
    std::vector<std::pair<uint32_t, uint32_t>> expected{
        {geteuid(), getuid()}, {65534, 65534}, {geteuid(), 65534}};
    std::vector<std::pair<uint32_t, uint32_t>> throughHandle, fromStatus;
    for (pid_t pid : tree.pids) {
        ProcessHandle process(static_cast<uint32_t>(pid));
        ProcessRecord record;
        if (readProcessRecord(process, record))
            throughHandle.emplace_back(record.uid, record.realUid);
        if (process.pidFile >= 0)
            close(std::exchange(process.pidFile, -1));
        if (readProcessRecord(process, record))
            fromStatus.emplace_back(record.uid, record.realUid);
    }
    stopProcessTree(tree);
    EXPECT_EQ(expected, throughHandle);
    EXPECT_EQ(expected, fromStatus);
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
