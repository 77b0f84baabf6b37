// Process trees for the inspector's tests and benchmarks: forked copies of the calling program, each of
// which starts its own children in order and then waits until the tree is released.
#pragma once

#include <sys/types.h>
#include <vector>

enum class NodeKind {
    plain,
    otherUser,          // runs as user and group 65534 before starting its children
    otherRealUser,      // keeps the caller's effective user, with 65534 as its real user
    childrenFromThread, // starts its children from a second thread, which stays alive
    exitedChild,        // also has one child that has exited and is never collected
    churning,           // also starts short-lived children, one after another, until released
};

struct TreeNode {
    int parent = -1; // index of an earlier node; the first node is the caller's own child
    NodeKind kind = NodeKind::plain;
};

struct ProcessTree {
    std::vector<pid_t> pids; // by node index
    int release = -1;        // closing it ends every process of the tree
};

// Starts every node and returns once each has started its children. Throws when the tree cannot be
// made.
ProcessTree startProcessTree(const std::vector<TreeNode>& nodes);

// Ends the tree and collects its root; each node collects its own children.
void stopProcessTree(ProcessTree& tree);

// A root and `children` children, each with `grandchildren` children: 1 + c + c*g processes.
std::vector<TreeNode> twoLevelTree(int children, int grandchildren);
