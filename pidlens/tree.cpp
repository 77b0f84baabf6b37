#include "pidlens/pidlens.h"

#include <algorithm>
#include <optional>

namespace {

// The root and at most 255 descendants: a hard limit of the report, not a size to grow.
constexpr size_t treeLimit = 256;

// The queue is at once the breadth-first work list and the order of the output; snapshots[i] is the
// record of queue[i] when it was accepted, which is also the first read of its identity, and
// processes[i] the handle it was read through. Each handle stays open until its object is written, so
// every later read of the process needs no new opens and cannot reach another process that took the
// identifier meanwhile. That holds three descriptors per process (the directory, its stat file, and
// its pidfd or, where the kernel tells no users through one, its status file), 768 at most.
struct TreeWalk {
    uint32_t queue[treeLimit] = {};
    ProcessRecord snapshots[treeLimit];
    std::optional<ProcessHandle> processes[treeLimit];
    size_t count = 0;
};

bool queued(const TreeWalk& walk, uint32_t pid) {
    return std::find(walk.queue, walk.queue + walk.count, pid) != walk.queue + walk.count;
}

// What became of one listed child: taken into the walk, left out (it has ended, or its identifier names
// no process to report), or a doubt about the tree that fails the whole walk.
enum class ChildOutcome { accepted, leftOut, doubtful };

// Takes child `pid` of queue[parentIndex] into the walk.
ChildOutcome acceptChild(TreeWalk& walk, size_t parentIndex, uint32_t pid) {
    if (pid < 2)
        return ChildOutcome::leftOut;
    if (queued(walk, pid) || walk.count == treeLimit)
        return ChildOutcome::doubtful;
    auto& process = walk.processes[walk.count];
    ProcessRecord& record = walk.snapshots[walk.count];
    if (!readProcessStat(process.emplace(pid), record)) {
        process.reset();
        return processHasEnded(pid) ? ChildOutcome::leftOut : ChildOutcome::doubtful;
    }
    // A child that has exited but is not collected yet still has a record; it has ended all the same.
    if (record.ended) {
        process.reset();
        return ChildOutcome::leftOut;
    }
    if (record.parentPid != walk.queue[parentIndex])
        return ChildOutcome::doubtful;
    // The users complete the identity's first read; they are checked when the object is written.
    if (!readProcessUsers(*process, record))
        return ChildOutcome::doubtful;
    walk.queue[walk.count] = pid;
    ++walk.count;
    return ChildOutcome::accepted;
}

// Nothing is written while the tree is walked: the walk either completes or fails as a whole.
bool walkTree(uint32_t root, TreeWalk& walk) {
    walk.queue[0] = root;
    walk.count = 1;
    if (!readProcessRecord(walk.processes[0].emplace(root), walk.snapshots[0]))
        return false;
    for (size_t parent = 0; parent < walk.count; ++parent) {
        ChildList children;
        if (!listChildren(*walk.processes[parent], walk.snapshots[parent].threads, children))
            return false;
        for (size_t i = 0; i < children.count; ++i)
            if (acceptChild(walk, parent, children.ids[i]) == ChildOutcome::doubtful)
                return false;
    }
    return true;
}

bool stillAsWalked(const ProcessRecord& now, const ProcessRecord& then) {
    return now.startSeconds == then.startSeconds && now.startMicroseconds == then.startMicroseconds &&
           now.parentPid == then.parentPid;
}

// Each process is checked against its snapshot just before its object is written, so a process that
// ended or was replaced since the walk stops the report; the identity's second read is that check, and
// the separator follows it. Any failure while objects are still being written, a write error included,
// ends it with status 3: only a complete array ever gets 0 or 4.
int printTree(TreeWalk& walk, FILE* out) {
    const uint32_t caller = callingUser();
    Identity identity;
    std::fputc('[', out);
    for (size_t i = 0; i < walk.count; ++i) {
        const ProcessHandle& process = *walk.processes[i];
        identity.first = walk.snapshots[i];
        if (!readPathAndSecond(process, identity) || !stillAsWalked(identity.second, identity.first))
            return statusNotEstablished;
        if (i > 0)
            std::fputc(',', out);
        if (!identityHolds(process.pid, caller, identity))
            return statusNotEstablished;
        writeIdentity(identity, out);
        if (std::ferror(out))
            return statusNotEstablished;
        walk.processes[i].reset();
    }
    std::fputs("]\n", out);
    return std::fflush(out) != 0 || std::ferror(out) ? statusOutputError : statusWritten;
}

} // namespace

int emitTree(uint32_t root, FILE* out) {
    TreeWalk walk;
    if (!walkTree(root, walk))
        return statusNotEstablished;
    return printTree(walk, out);
}
