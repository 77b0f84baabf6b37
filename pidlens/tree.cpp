#include "pidlens/pidlens.h"

#include <algorithm>
#include <optional>

namespace {

// The root and at most 255 descendants: a hard limit of the report, not a size to grow.
constexpr size_t tree_limit = 256;

// The queue is at once the breadth-first work list and the order of the output; snapshots[i] is the
// record of queue[i] when it was accepted, and processes[i] the handle it was read through. Each handle
// stays open until its object is written, so every later read of the process needs no new opens and
// cannot reach another process that took the identifier meanwhile. That holds at most two descriptors
// per process (the directory and its stat file) and one status file at a time.
struct TreeWalk {
    uint32_t queue[tree_limit] = {};
    ProcessRecord snapshots[tree_limit];
    std::optional<ProcessHandle> processes[tree_limit];
    size_t count = 0;
};

bool queued(const TreeWalk& walk, uint32_t pid) {
    return std::find(walk.queue, walk.queue + walk.count, pid) != walk.queue + walk.count;
}

// Takes child `pid` of queue[parent_index] into the walk. An exited child is left out; any doubt about
// it fails the whole walk.
int accept_child(TreeWalk& walk, size_t parent_index, uint32_t pid) {
    if (pid < 2)
        return status_written;
    if (queued(walk, pid) || walk.count == tree_limit)
        return status_not_established;
    auto& process = walk.processes[walk.count];
    ProcessRecord& record = walk.snapshots[walk.count];
    // Only the parent and the start are compared later, and the stat file holds both; the users are
    // checked when the object is written.
    if (!readProcessStat(process.emplace(pid), record)) {
        process.reset();
        return processHasEnded(pid) ? status_written : status_not_established;
    }
    // A child that has exited but is not collected yet still has a record; it has ended all the same.
    if (record.ended) {
        process.reset();
        return status_written;
    }
    if (record.parentPid != walk.queue[parent_index])
        return status_not_established;
    walk.queue[walk.count] = pid;
    ++walk.count;
    return status_written;
}

// Nothing is written while the tree is walked: the walk either completes or fails as a whole.
int walk_tree(uint32_t root, TreeWalk& walk) {
    walk.queue[0] = root;
    walk.count = 1;
    if (!readProcessRecord(walk.processes[0].emplace(root), walk.snapshots[0]))
        return status_not_established;
    for (size_t parent = 0; parent < walk.count; ++parent) {
        ChildList children;
        if (!listChildren(*walk.processes[parent], walk.snapshots[parent].threads, children))
            return status_not_established;
        for (size_t i = 0; i < children.count; ++i)
            if (int status = accept_child(walk, parent, children.ids[i]); status != status_written)
                return status;
    }
    return status_written;
}

bool still_as_walked(const ProcessHandle& process, const ProcessRecord& then) {
    ProcessRecord now;
    return readProcessStat(process, now) && now.startSeconds == then.startSeconds &&
           now.startMicroseconds == then.startMicroseconds && now.parentPid == then.parentPid;
}

// Each process is checked against its snapshot just before its object is written, so a process that
// ended or was replaced since the walk stops the report. Any failure while objects are still being
// written, a write error included, ends it with status 3: only a complete array ever gets 0 or 4.
int print_tree(TreeWalk& walk, FILE* out) {
    std::fputc('[', out);
    for (size_t i = 0; i < walk.count; ++i) {
        const ProcessHandle& process = *walk.processes[i];
        if (!still_as_walked(process, walk.snapshots[i]))
            return status_not_established;
        if (i > 0)
            std::fputc(',', out);
        if (emit_identity(process, out) != status_written)
            return status_not_established;
        walk.processes[i].reset();
    }
    std::fputs("]\n", out);
    return std::fflush(out) != 0 || std::ferror(out) ? status_output_error : status_written;
}

} // namespace

int emit_tree(uint32_t root, FILE* out) {
    TreeWalk walk;
    if (int status = walk_tree(root, walk); status != status_written)
        return status;
    return print_tree(walk, out);
}
