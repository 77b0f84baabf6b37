#include "tests/pidlens/process_tree.h"

#include <cerrno>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

struct Ready {
    int index;
    pid_t pid;
};

struct Pipes {
    int readyRead, readyWrite, releaseRead, releaseWrite;
};

void blockUntilReleased(int releaseRead) {
    char byte;
    while (read(releaseRead, &byte, 1) != 0 && errno == EINTR) {
    }
}

bool released(int releaseRead) {
    pollfd fd{releaseRead, POLLIN, 0};
    return poll(&fd, 1, 0) > 0;
}

void collect(pid_t pid) {
    while (pid > 0 && waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

void churn(int releaseRead) {
    while (!released(releaseRead)) {
        pid_t pid = fork();
        if (pid == 0)
            _exit(0);
        collect(pid);
    }
}

[[noreturn]] void runNode(const std::vector<TreeNode>& nodes, int index, const Pipes& pipes);

std::vector<pid_t> startChildren(const std::vector<TreeNode>& nodes, int index, const Pipes& pipes) {
    std::vector<pid_t> children;
    for (int child = index + 1; child < static_cast<int>(nodes.size()); ++child) {
        if (nodes[child].parent != index)
            continue;
        pid_t pid = fork();
        if (pid == 0)
            runNode(nodes, child, pipes);
        children.push_back(pid);
    }
    return children;
}

// In the forked copy. The root drops the caller's ends of the pipes, and its descendants inherit
// that, so closing the caller's release end really ends the tree.
[[noreturn]] void runNode(const std::vector<TreeNode>& nodes, int index, const Pipes& pipes) {
    if (index == 0) {
        close(pipes.releaseWrite);
        close(pipes.readyRead);
    }
    NodeKind kind = nodes[index].kind;
    if (kind == NodeKind::otherUser) {
        // Dumpable again, as a program that user started would be: a change of user makes a process's
        // executable unreadable to everyone but root.
        if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
            setresuid(65534, 65534, 65534) != 0 || prctl(PR_SET_DUMPABLE, 1) != 0)
            _exit(1);
    }
    if (kind == NodeKind::otherRealUser && setresuid(65534, geteuid(), geteuid()) != 0)
        _exit(1);
    std::vector<pid_t> children;
    std::thread starter;
    if (kind == NodeKind::childrenFromThread) {
        starter = std::thread([&] {
            children = startChildren(nodes, index, pipes);
            blockUntilReleased(pipes.releaseRead);
        });
    } else {
        children = startChildren(nodes, index, pipes);
    }
    pid_t exited = -1;
    if (kind == NodeKind::exitedChild) {
        exited = fork();
        if (exited == 0)
            _exit(0);
        siginfo_t info;
        waitid(P_PID, static_cast<id_t>(exited), &info, WEXITED | WNOWAIT);
    }
    Ready ready{index, getpid()};
    (void)!write(pipes.readyWrite, &ready, sizeof ready);
    if (kind == NodeKind::churning)
        churn(pipes.releaseRead);
    blockUntilReleased(pipes.releaseRead);
    if (starter.joinable())
        starter.join();
    for (pid_t child : children)
        collect(child);
    collect(exited);
    _exit(0);
}

} // namespace

ProcessTree startProcessTree(const std::vector<TreeNode>& nodes) {
    int ready[2], release[2];
    if (pipe2(ready, O_CLOEXEC) != 0 || pipe2(release, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");
    Pipes pipes{ready[0], ready[1], release[0], release[1]};
    ProcessTree tree{std::vector<pid_t>(nodes.size(), -1), release[1]};
    pid_t root = fork();
    if (root == 0)
        runNode(nodes, 0, pipes);
    close(ready[1]);
    close(release[0]);
    for (size_t reported = 0; reported < nodes.size(); ++reported) {
        pollfd fd{ready[0], POLLIN, 0};
        Ready entry{};
        if (poll(&fd, 1, 30'000) <= 0 || read(ready[0], &entry, sizeof entry) != sizeof entry)
            break;
        tree.pids[entry.index] = entry.pid;
    }
    close(ready[0]);
    bool complete = root > 0 && tree.pids[0] == root;
    for (pid_t pid : tree.pids)
        complete = complete && pid > 0;
    if (!complete) {
        tree.pids[0] = root;
        stopProcessTree(tree);
        throw std::runtime_error("the process tree could not be started");
    }
    return tree;
}

void stopProcessTree(ProcessTree& tree) {
    if (tree.release >= 0)
        close(tree.release);
    tree.release = -1;
    if (!tree.pids.empty())
        collect(tree.pids[0]);
    tree.pids.clear();
}

std::vector<TreeNode> twoLevelTree(int children, int grandchildren) {
    std::vector<TreeNode> nodes{{}};
    for (int child = 0; child < children; ++child)
        nodes.push_back({0});
    for (int child = 0; child < children; ++child)
        for (int grandchild = 0; grandchild < grandchildren; ++grandchild)
            nodes.push_back({1 + child});
    return nodes;
}
